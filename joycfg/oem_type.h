// Registration of the controller as the OEM joystick type "Tessaline".
#pragma once

#include <cstdint>

// Creates or opens OEM\Tessaline below the OEM types key and writes OEMDATA (the full-range
// record, all 112 bytes) and the 21 texts, 250 bytes each. 1 when the record and all 21 texts
// were written, whatever the close and the flush then answer; 0 when the OEM types key is
// missing (it is never created) or the type key cannot be opened, with nothing written, or
// at the first write that fails: what was written before it stays, and there is no flush.
int32_t RegisterOemType();
// The read-back of the registration, which writes nothing: 1 when the OEM type key
// "Tessaline" holds OEMDATA as the full-range record, all 112 bytes, and OEMCALLOUT and
// OEMNAME as "tesln.vxd" and "Brennick Gyrelle", each the text and its NUL at the start of a
// value at least that long; 0 when one of them does not, or a key or value is missing. A
// registration from an earlier run holds as long as it holds these values.
int32_t CheckOemType();
