// Every request and event code of the device link, one line each, in the form
//   DEVICE_CODE(name, number, "what a message calls it")
// A file that needs the list defines DEVICE_CODE, includes this file and gets the macro
// undefined again; device_codes.h makes the DeviceCode enum of it. No include guard: each
// expansion includes the list anew.

// Event: a "D" packet's six axis values and the constant 33, as seven words.
DEVICE_CODE(kMotionEvent, 2, "motion event")
// Request: sends "d".
DEVICE_CODE(kLowerDCommand, 3, "d command")
// Event: a "K" packet's button word; its bit 31 going from set to clear becomes a re-query.
DEVICE_CODE(kButtonEvent, 4, "button event")
// Request without bytes: nothing is sent and the request fails.
DEVICE_CODE(kEmptyCommand6, 6, "empty command 6")
// Event: the two bytes of a "P" packet.
DEVICE_CODE(kPEvent, 7, "P event")
// Request: sends "p".
DEVICE_CODE(kLowerPCommand, 8, "p command")
// Request without bytes, like 6.
DEVICE_CODE(kEmptyCommand9, 9, "empty command 9")
// Event: the byte of an "E" packet.
DEVICE_CODE(kEEvent, 10, "E event")
// Request: asks the device for its version again ("?"); also the event a button release
// turns into.
DEVICE_CODE(kRequery, 13, "re-query")
// Request: open the port named in the data and identify a controller on it.
DEVICE_CODE(kOpenDevice, 14, "open device")
// Answer to an open: word 0 the device number, word 1 the device type.
DEVICE_CODE(kDeviceOpened, 15, "device opened")
// Request or event that needs no device; answered in place with a ping answer.
DEVICE_CODE(kPing, 16, "ping")
// Answer to a ping: word 0 is 1, word 1 is 0.
DEVICE_CODE(kPingAnswer, 17, "ping answer")
// Event: the text of an "R" packet.
DEVICE_CODE(kRTextEvent, 258, "R text event")
// Event: the byte of an "N" packet.
DEVICE_CODE(kNEvent, 259, "N event")
// Request: sends "N" and the request's first data byte.
DEVICE_CODE(kUpperNCommand, 260, "N command")
// Request: sends "n".
DEVICE_CODE(kLowerNCommand, 261, "n command")
// Event: the text of a "!" packet, the controller's version banner.
DEVICE_CODE(kVersionText, 275, "version text")
// Request: sends the version query "?".
DEVICE_CODE(kVersionQuery, 276, "version query")

#undef DEVICE_CODE
