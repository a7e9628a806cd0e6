// The driver core: the device and handle tables in static storage, the dispatch of requests
// to identified devices, identification on a named port, and the event reader that visits
// the identified devices in turn.
#include "devlink/driver_core.h"

#include "crt/crt.h"
#include "devlink/device_codes.h"
#include "devlink/device_link_testing.h"
#include "devlink/device_words.h"
#include "devlink/packet_format.h"

DeviceRecord DeviceTable[kDeviceTableSize];
int32_t DeviceCount = 0;
int32_t NextReadDevice = 0;
DeviceRecord* HandleTable[kHandleTableSize];
int32_t HandleCount = 0;
uint32_t LastButtonMask = 0;

namespace {

constexpr int32_t kPacketCapacity = 128;
constexpr char kBanner[] = "!1 Tessaline (R) V";
constexpr size_t kBannerLength = sizeof(kBanner) - 1;
constexpr uint32_t kButtonReleaseBit = 0x80000000u;

struct DeviceKind {
    const char* maker;
    const char* model;
};

// Indexed by device type 1 to 5.
constexpr DeviceKind kDeviceKinds[] = {
    {"Brennick", "Halberdine"}, {"Brennick", "Olvex"},   {"Brennick", "Olvexa"},
    {"Brennick", "Treskel"},    {"Brennick", "Marlock"},
};
constexpr int32_t kDeviceKindCount = sizeof(kDeviceKinds) / sizeof(kDeviceKinds[0]);
static_assert(kMarlockDeviceType == kDeviceKindCount, "the Marlock is the table's last kind");

DeviceLinkClock current_clock = UdComTickCount;
DeviceLinkIdle current_idle = UdComWaitReadable;

// Copies text into a fixed field, cut to fit, always terminated.
void CopyText(char* field, size_t field_size, const char* text, size_t text_limit) {
    size_t length = 0;
    while (length < text_limit && length + 1 < field_size && text[length] != '\0') ++length;
    memcpy(field, text, length);
    field[length] = '\0';
}

void EmptyPacket(PacketBuffer* buffer) {
    buffer->count = 0;
    buffer->capacity = kPacketCapacity;
}

void SendQuery(DeviceRecord* record) {
    DeviceRequest query{};
    query.code = kVersionQuery;
    PacketBuffer packet{};
    EmptyPacket(&packet);
    BuildCommand(&query, &packet);
    FramePacket(&packet);
    UdComWrite(&record->channel, packet.bytes, packet.count);
}

bool IsBanner(const PacketBuffer* buffer) {
    return buffer->count >= static_cast<int32_t>(kBannerLength) &&
           memcmp(buffer->bytes, kBanner, kBannerLength) == 0;
}

int32_t OpenDevice(DeviceRequest* request) {
    // Full tables refuse the open rather than run past their ends.
    if (DeviceCount >= kDeviceTableSize || HandleCount >= kHandleTableSize) return -1;
    DeviceRecord* record = &DeviceTable[DeviceCount];
    RegisterDevice(record);
    int32_t name_limit = request->length;
    if (name_limit < 0) name_limit = 0;
    CopyText(record->channel.port_name, sizeof(record->channel.port_name),
             reinterpret_cast<const char*>(request->data),
             static_cast<size_t>(name_limit) < sizeof(request->data) ? static_cast<size_t>(name_limit)
                                                                     : sizeof(request->data));
    int32_t identified = UdComOpen(&record->channel) != 1 ? -1 : AwaitVersionBanner(record);
    if (identified != 1) {
        // The number stays used, but the record goes to the next attempt: were it still
        // reachable under this number, a later success would answer to it too.
        HandleTable[record->device_number] = nullptr;
        return identified;
    }
    InstallDeviceOps(record);
    record->send_version_query(record);
    PutRequestWord(request, 0, record->device_number);
    PutRequestWord(request, 1, record->device_type);
    request->code = kDeviceOpened;
    request->length = 8;
    ++DeviceCount;
    return 1;
}

void AnswerPing(DeviceRequest* request) {
    PutRequestWord(request, 0, 1);
    PutRequestWord(request, 1, 0);
    request->code = kPingAnswer;
    request->length = 8;
}

}  // namespace

void SetDeviceLinkClock(DeviceLinkClock clock, DeviceLinkIdle idle) {
    current_clock = clock != nullptr ? clock : UdComTickCount;
    current_idle = idle != nullptr ? idle : UdComWaitReadable;
}

int32_t SetDevicePort(DeviceInfo* info, const char* port_name) {
    if (info == nullptr || port_name == nullptr) return 0;
    CopyText(info->port_name, sizeof(info->port_name), port_name, sizeof(info->port_name));
    CopyText(info->second_port_name, sizeof(info->second_port_name), port_name,
             sizeof(info->second_port_name));
    return 1;
}

int32_t IdentifyDevice(DeviceInfo* info) {
    if (info == nullptr) return 0;
    DeviceRequest request{};
    request.code = kOpenDevice;
    CopyText(reinterpret_cast<char*>(request.data), sizeof(request.data), info->port_name,
             sizeof(info->port_name));
    request.length = static_cast<int32_t>(strlen(reinterpret_cast<const char*>(request.data))) + 1;
    if (SendDeviceRequest(&request) != 1) return 0;

    int32_t number = GetRequestWord(&request, 0);
    int32_t type = GetRequestWord(&request, 1);
    if (type < 1 || type > kDeviceKindCount) return 0;
    const DeviceKind& kind = kDeviceKinds[type - 1];
    CopyText(info->maker, sizeof(info->maker), kind.maker, sizeof(info->maker));
    CopyText(info->model, sizeof(info->model), kind.model, sizeof(info->model));
    info->device_type = type;
    info->device_number = number;
    return 1;
}

int32_t SendDeviceRequest(DeviceRequest* request) {
    return DispatchRequest(request) == 1 ? 1 : 0;
}

int32_t DispatchRequest(DeviceRequest* request) {
    if (request == nullptr) return -1;
    if (request->code == kOpenDevice) return OpenDevice(request);
    if (request->code == kPing) {
        AnswerPing(request);
        return 1;
    }

    DeviceRecord* record = nullptr;
    if (LookupDevice(&record, request->device_number) != 1) return -1;
    if (request->code == kRequery) {
        record->send_version_query(record);
        return 1;
    }
    PacketBuffer packet{};
    EmptyPacket(&packet);
    if (record->build_command(request, &packet) != 1) return -1;
    if (record->frame_packet(&packet) != 1) return -1;
    if (UdComWrite(&record->channel, packet.bytes, packet.count) != 1) return -1;
    return 1;
}

int32_t ReadDeviceEvent(DeviceRequest* out) {
    if (DeviceCount < 1) return -1;
    if (out == nullptr) return 0;
    if (NextReadDevice >= DeviceCount || NextReadDevice < 0) NextReadDevice = 0;
    // The identified devices in turn: a device number can belong to a failed attempt.
    DeviceRecord* record = &DeviceTable[NextReadDevice];
    ++NextReadDevice;

    for (;;) {
        uint8_t byte = 0;
        if (UdComReadByte(&record->channel, &byte) != 1) return 0;
        int32_t received = record->receive_byte(byte, &record->packet, record);
        if (received == 1) {
            int32_t decoded = record->decode_packet(record, &record->packet, out);
            EmptyPacket(&record->packet);
            return decoded == 1 ? 1 : -1;
        }
        if (received == -1) EmptyPacket(&record->packet);
    }
}

int32_t GetDeviceEvent(DeviceRequest* out) {
    if (out == nullptr) return 0;
    DeviceRequest event{};
    if (ReadDeviceEvent(&event) != 1) return 0;

    int32_t length = event.length;
    if (length < 0) length = 0;
    if (length > static_cast<int32_t>(sizeof(out->data))) length = sizeof(out->data);
    out->device_number = event.device_number;
    out->code = event.code;
    out->length = event.length;
    memcpy(out->data, event.data, static_cast<size_t>(length));

    if (out->code == kButtonEvent) {
        uint32_t buttons = static_cast<uint32_t>(GetRequestWord(out, 0));
        if ((LastButtonMask & kButtonReleaseBit) != 0 && (buttons & kButtonReleaseBit) == 0) {
            out->code = kRequery;
            out->length = 0;
            SendDeviceRequest(out);
        }
        LastButtonMask = buttons;
        return 1;
    }
    if (out->code == kPing) {
        AnswerPing(out);
        return 0;
    }
    return 1;
}

int32_t RegisterDevice(DeviceRecord* record) {
    if (record == nullptr) return -1;
    if (HandleCount < 0 || HandleCount >= kHandleTableSize) return -1;
    record->device_number = HandleCount;
    record->channel.push_back_flag = 0;
    HandleTable[HandleCount] = record;
    ++HandleCount;
    EmptyPacket(&record->packet);
    return 1;
}

int32_t LookupDevice(DeviceRecord** out, int32_t device_number) {
    if (out == nullptr || device_number < 0 || device_number >= kHandleTableSize) return -1;
    *out = HandleTable[device_number];
    return *out != nullptr ? 1 : -1;
}

int32_t InstallDeviceOps(DeviceRecord* record) {
    if (record == nullptr) return -1;
    if (record->device_type == 0) record->device_type = kMarlockDeviceType;
    record->frame_packet = FramePacket;
    record->receive_byte = ReceiveByte;
    record->build_command = BuildCommand;
    record->decode_packet = DecodePacket;
    record->send_version_query = SendVersionQuery;
    return 1;
}

int32_t SendVersionQuery(DeviceRecord* record) {
    if (record == nullptr) return -1;
    SendQuery(record);
    return 1;
}

int32_t AwaitVersionBanner(DeviceRecord* record) {
    if (record == nullptr) return -1;
    SendQuery(record);
    PacketBuffer packet{};
    EmptyPacket(&packet);

    // A time budget rather than a count of reads: a read costs a few microseconds today
    // and a great deal more elsewhere, while the controller answers in its own time.
    uint32_t start = current_clock();
    for (;;) {
        uint8_t byte = 0;
        bool got_byte = UdComReadByte(&record->channel, &byte) == 1;
        // The check byte is not held against the banner: a packet that ends badly is
        // compared too.
        if (got_byte && ReceiveByte(byte, &packet, record) != 0) {
            if (IsBanner(&packet)) {
                record->device_type = kMarlockDeviceType;
                return 1;
            }
            EmptyPacket(&packet);
        }
        uint32_t elapsed = current_clock() - start;
        if (elapsed >= kBannerWaitMilliseconds) return 0;
        if (!got_byte) {
            uint32_t rest = kBannerWaitMilliseconds - elapsed;
            current_idle(&record->channel,
                         rest < kBannerPollMilliseconds ? rest : kBannerPollMilliseconds);
        }
    }
}

void ResetDeviceLinkState() {
    ResetSerialChannelState();
    memset(DeviceTable, 0, sizeof(DeviceTable));
    memset(HandleTable, 0, sizeof(HandleTable));
    DeviceCount = 0;
    NextReadDevice = 0;
    HandleCount = 0;
    LastButtonMask = 0;
    SetDeviceLinkClock(nullptr, nullptr);
}

int32_t AttachDeviceForTesting(ComHandle handle) {
    if (DeviceCount >= kDeviceTableSize || HandleCount >= kHandleTableSize) return -1;
    DeviceRecord* record = &DeviceTable[DeviceCount];
    RegisterDevice(record);
    record->channel.handle = handle;
    record->device_type = 0;
    InstallDeviceOps(record);
    ++DeviceCount;
    return record->device_number;
}
