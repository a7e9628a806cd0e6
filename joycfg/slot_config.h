// Per-joystick (slot) configuration: slots 0 to 15 are the driver's joysticks 1 to 16.
#pragma once

#include <cstdint>

constexpr int32_t kSlotCount = 16;

int32_t ClearSlotConfig(int32_t slot);
int32_t WriteSlotConfigTenBit(int32_t slot);
int32_t WriteSlotConfigFullRange(int32_t slot);
int32_t InitSlotTypeSettings(int32_t slot);
int32_t ResetSlotOemConfig(int32_t slot);
int32_t SetSlotPort(int32_t slot, int32_t port_number);
int32_t SetSlotAxes(int32_t slot, const char* axis_letters);
int32_t GetSlotPort(int32_t slot, int32_t* port_number);
int32_t ConfigureSlotTenBit(int32_t slot, int32_t port_number, const char* axis_letters);
int32_t ConfigureSlotFullRange(int32_t slot, int32_t port_number, const char* axis_letters);
