// The parts of the serial channel that never touch a port, shared by both backends:
// push-back, port names, and the list of open ports that a test reset closes.
#include "devlink/serial_channel_common.h"

#include "crt/crt.h"

namespace {

constexpr int kMaxOpenPorts = 128;
ComHandle open_ports[kMaxOpenPorts];
int open_port_count = 0;

}  // namespace

bool TakePushedBackByte(ComChannel* channel, uint8_t* out) {
    if (channel->push_back_flag != 1) return false;
    channel->push_back_flag = 0;
    *out = channel->pushed_back_byte;
    return true;
}

void RememberOpenPort(ComHandle handle) {
    if (open_port_count < kMaxOpenPorts) open_ports[open_port_count++] = handle;
}

void ForgetOpenPort(ComHandle handle) {
    for (int i = 0; i < open_port_count; ++i) {
        if (open_ports[i] == handle) {
            open_ports[i] = open_ports[--open_port_count];
            return;
        }
    }
}

void CloseOpenPorts(void (*close_port)(ComHandle handle)) {
    for (int i = 0; i < open_port_count; ++i) close_port(open_ports[i]);
    open_port_count = 0;
}

int32_t UdComUnreadByte(ComChannel* channel, uint8_t byte) {
    if (channel == nullptr) return 0;
    channel->pushed_back_byte = byte;
    channel->push_back_flag = 1;
    return 1;
}

int32_t UdComPortName(int32_t number, char* buffer, int32_t size) {
    if (buffer == nullptr || size <= 0 || number < 0 || number > 4) return 0;
    // At most "COM4" and its NUL; a smaller buffer gets what fits.
    char name[8];
    FormatText(name, sizeof name, "COM%d", static_cast<int>(number));
    int32_t length = 0;
    for (; length + 1 < size && name[length] != '\0'; ++length) buffer[length] = name[length];
    buffer[length] = '\0';
    return 1;
}
