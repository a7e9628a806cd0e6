// What both serial channel backends share: the one-byte push-back and the list of ports
// that are open, which a test run uses to free what identification left open.
#pragma once

#include "devlink/serial_channel.h"

// Hands out the pushed-back byte when one waits; the port is not touched then.
bool TakePushedBackByte(ComChannel* channel, uint8_t* out);

void RememberOpenPort(ComHandle handle);
void ForgetOpenPort(ComHandle handle);
// Closes every remembered port with close_port and forgets them all.
void CloseOpenPorts(void (*close_port)(ComHandle handle));
