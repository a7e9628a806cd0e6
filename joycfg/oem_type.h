// Registration of the controller as the OEM joystick type "Tessaline".
#pragma once

#include <cstdint>

int32_t RegisterOemType();
