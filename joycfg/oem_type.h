// Registration of the controller as the OEM joystick type "Tessaline".
#pragma once

#include <cstdint>

int32_t RegisterOemType();
// The read-back of the registration, which writes nothing: 1 when the OEM type key
// "Tessaline" holds OEMDATA as the full-range record, all 112 bytes, and OEMCALLOUT and
// OEMNAME as "tesln.vxd" and "Brennick Gyrelle", each the text and its NUL at the start of a
// value at least that long; 0 when one of them does not, or a key or value is missing. A
// registration from an earlier run holds as long as it holds these values.
int32_t CheckOemType();
