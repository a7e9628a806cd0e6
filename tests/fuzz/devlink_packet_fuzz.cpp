// Feeds arbitrary line bytes through the receive path: ReceiveByte with its push-back,
// DecodePacket and DecodeMotion on whatever completes, and the event interface reading
// the same bytes from a line, with the button release rule and its re-query.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "devlink/device_link_testing.h"
#include "devlink/driver_core.h"
#include "devlink/packet_format.h"

namespace {

void GatherAndDecode(const uint8_t* data, size_t size) {
    DeviceRecord record{};
    record.device_number = 3;
    PacketBuffer packet{};
    packet.capacity = 128;
    size_t next = 0;
    for (;;) {
        uint8_t byte = 0;
        if (record.channel.push_back_flag == 1) {
            record.channel.push_back_flag = 0;
            byte = record.channel.pushed_back_byte;
        } else if (next < size) {
            byte = data[next++];
        } else {
            break;
        }
        int32_t result = ReceiveByte(byte, &packet, &record);
        if (result == 0) continue;
        DeviceRequest event{};
        DecodePacket(&record, &packet, &event);
        int32_t words[7];
        DecodeMotion(&packet, words);
        packet.count = 0;
    }
}

void ReadAsEvents(const uint8_t* data, size_t size) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return;
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    ResetDeviceLinkState();
    AttachDeviceForTesting(ends[0]);
    AttachDeviceForTesting(ends[0]);
    size_t sent = 0;
    while (sent < size) {
        ssize_t written = write(ends[1], data + sent, size - sent);
        if (written <= 0) break;
        sent += static_cast<size_t>(written);
    }
    // Every call takes at least one byte or finds the line empty.
    for (size_t calls = 0; calls < sent + 4; ++calls) {
        DeviceRequest event{};
        GetDeviceEvent(&event);
    }
    ResetDeviceLinkState();
    close(ends[0]);
    close(ends[1]);
}

void BuildAndFrame(const uint8_t* data, size_t size) {
    if (size < 3) return;
    DeviceRequest request{};
    request.code = static_cast<int32_t>(data[0] | data[1] << 8);
    request.data[0] = data[2];
    PacketBuffer packet{};
    packet.capacity = 128;
    if (BuildCommand(&request, &packet) == 1) FramePacket(&packet);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    GatherAndDecode(data, size);
    ReadAsEvents(data, size);
    BuildAndFrame(data, size);
    return 0;
}
