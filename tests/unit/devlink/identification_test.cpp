// Identification and events against the controller simulator, through the POSIX channel
// over a real pseudo-terminal. Every open costs the 2000 ms settle wait, so each case
// makes as few opens as it can.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "device_log_recorder.h"
#include "devlink/device_link_testing.h"
#include "devlink/driver_core.h"
#include "platform/serial_names.h"
#include "tools/simulator/simulator_process.h"
#include "event_codes.h"
#include "event_words.h"

namespace {

struct IdentifyCase {
    const char* name;
    std::vector<std::string> options;
    int32_t result;
};

void PrintTo(const IdentifyCase& c, std::ostream* out) { *out << c.name; }

class IdentificationTest : public ::testing::TestWithParam<IdentifyCase> {
protected:
    void SetUp() override { ResetDeviceLinkState(); }
    void TearDown() override {
        ResetDeviceLinkState();
        ClearSerialDevicePaths();
    }
};

TEST_P(IdentificationTest, ControllerIsFoundOnlyWhenItSendsTheBanner) {
    const IdentifyCase& c = GetParam();
    SimulatorProcess simulator;
    ASSERT_TRUE(simulator.Start(c.options));
    ASSERT_EQ(SetSerialDevicePath("COM1", simulator.slave_path.c_str()), 1);

    DeviceInfo info{};
    memset(&info, 0x5A, sizeof(info));
    DeviceInfo before = info;
    ASSERT_EQ(SetDevicePort(&info, "COM1"), 1);
    before = info;
    DeviceLogRecorder recorder;
    int32_t result = IdentifyDevice(&info);
    std::string log = recorder.Take();

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(log, "UdComOpen:  opening COM1\n");
    EXPECT_GE(simulator.Count("query"), 1);
    if (c.result == 1) {
        EXPECT_EQ(info.device_type, kMarlockDeviceType);
        EXPECT_STREQ(info.maker, "Brennick");
        EXPECT_STREQ(info.model, "Marlock");
        EXPECT_EQ(info.device_number, 0);
        EXPECT_EQ(DeviceCount, 1);
        // The driver asks once more after the banner, and the port can be closed.
        EXPECT_TRUE(simulator.AwaitCount("query", 2, 1000));
        EXPECT_EQ(UdComClose(), 1);
    } else {
        EXPECT_EQ(memcmp(&info, &before, sizeof(info)), 0) << "the record was written";
        EXPECT_EQ(simulator.Count("query"), 1) << "the query is not repeated";
        EXPECT_EQ(DeviceCount, 0);
        // Only a found controller's port is closed by the caller; this one stays held.
        ASSERT_NE(LastComHandle, -1);
        EXPECT_NE(fcntl(LastComHandle, F_GETFD), -1) << "the port was closed";
    }
    EXPECT_EQ(simulator.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, IdentificationTest,
    ::testing::Values(IdentifyCase{"answers_at_once", {}, 1},
                      IdentifyCase{"answers_500ms_late_with_paced_bytes", {"--delay-ms", "500", "--pace"}, 1},
                      IdentifyCase{"bad_check_byte", {"--bad-check"}, 1},
                      IdentifyCase{"hangs_up_after_answering", {"--hangup-after", "1"}, 1},
                      IdentifyCase{"other_version", {"--banner", "1 Tessaline (R) V7 beta"}, 1},
                      IdentifyCase{"silent", {"--silent"}, 0},
                      IdentifyCase{"wrong_banner", {"--banner", "1 Tesseline (R) V2.10"}, 0},
                      IdentifyCase{"garbage", {"--garbage"}, 0},
                      IdentifyCase{"endless_stream", {"--stream"}, 0},
                      IdentifyCase{"answers_too_late", {"--delay-ms", "2500"}, 0}),
    [](const testing::TestParamInfo<IdentifyCase>& info) { return std::string(info.param.name); });

TEST(IdentificationCountTest, FailedAttemptsUseUpDeviceNumbers) {
    ResetDeviceLinkState();
    SimulatorProcess simulator;
    ASSERT_TRUE(simulator.Start({}));
    ASSERT_EQ(SetSerialDevicePath("COM3", simulator.slave_path.c_str()), 1);

    DeviceInfo info{};
    DeviceLogRecorder recorder;
    for (const char* port : {"COM1", "COM2", "COM3"}) {
        SetDevicePort(&info, port);
        IdentifyDevice(&info);
    }
    std::string log = recorder.Take();
    EXPECT_EQ(info.device_number, 2);
    EXPECT_STREQ(info.model, "Marlock");
    EXPECT_EQ(DeviceCount, 1);
    EXPECT_EQ(HandleCount, 3);
    EXPECT_EQ(log,
              "UdComOpen:  opening COM1\nUdComOpen:  CreateFile failed  2\n"
              "UdComOpen:  opening COM2\nUdComOpen:  CreateFile failed  2\n"
              "UdComOpen:  opening COM3\n");

    // Only the identified number reaches the controller; the failed attempts' numbers do not.
    for (int32_t number : {0, 1}) {
        for (DeviceCode code : {kLowerDCommand, kRequery}) {
            DeviceRequest request{};
            request.device_number = number;
            request.code = code;
            EXPECT_EQ(DispatchRequest(&request), -1) << "number " << number << ", " << DeviceCodeName(code);
        }
    }
    DeviceRequest request{};
    request.device_number = 2;
    request.code = kLowerDCommand;
    EXPECT_EQ(DispatchRequest(&request), 1);
    EXPECT_TRUE(simulator.AwaitCount("packet 64", 1, 1000));
    EXPECT_EQ(simulator.Count("packet 64"), 1);
    EXPECT_EQ(simulator.Count("query"), 2) << "the identification's two queries only";
    EXPECT_EQ(simulator.Stop(), 0);
    ResetDeviceLinkState();
    ClearSerialDevicePaths();
}

TEST(IdentificationHeldPortTest, PortHeldByAnotherProcessIsNotProbed) {
    ResetDeviceLinkState();
    SimulatorProcess simulator;
    ASSERT_TRUE(simulator.Start({}));

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        int fd = open(simulator.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
        ssize_t written = write(ready[1], &ok, 1);
        (void)written;
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);

    DeviceInfo info{};
    SetDevicePort(&info, simulator.slave_path.c_str());
    DeviceLogRecorder recorder;
    EXPECT_EQ(IdentifyDevice(&info), 0);
    std::string log = recorder.Take();
    EXPECT_EQ(log.rfind("UdComOpen:  opening " + simulator.slave_path + "\nUdComOpen:  CreateFile failed  ", 0),
              0u)
        << log;
    EXPECT_EQ(LastComHandle, -1);
    EXPECT_EQ(info.device_type, 0);
    EXPECT_EQ(HandleCount, 1);
    EXPECT_EQ(simulator.Count("query"), 0);

    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    ResetDeviceLinkState();
}

TEST(SimulatorEventsTest, MotionAndButtonsArriveAndAReleaseRequeries) {
    ResetDeviceLinkState();
    char script_path[] = "/tmp/devlink-script-XXXXXX";
    int script_fd = mkstemp(script_path);
    ASSERT_GE(script_fd, 0);
    close(script_fd);
    {
        std::ofstream script(script_path);
        script << "# after the second banner\nsleep 300\n"
               << "motion 511 -512 512 -1 0 100\n"
               << "buttons 0x80000003\n"
               << "buttons 0x00000003\n";
    }
    SimulatorProcess simulator;
    ASSERT_TRUE(simulator.Start({"--script", script_path}));
    DeviceInfo info{};
    SetDevicePort(&info, simulator.slave_path.c_str());
    DeviceLogRecorder recorder;
    ASSERT_EQ(IdentifyDevice(&info), 1);

    std::vector<DeviceRequest> events;
    for (int waited = 0; waited < 3000 && events.size() < 4; waited += 5) {
        DeviceRequest event{};
        if (GetDeviceEvent(&event) == 1) {
            events.push_back(event);
        } else {
            usleep(5 * 1000);
        }
    }
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(CodeOf(events[0]), kVersionText);  // the answer to the query after identification
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(events[0].data), events[0].length),
              "1 Tessaline (R) V2.10");
    EXPECT_EQ(CodeOf(events[1]), kMotionEvent);
    EXPECT_EQ(events[1].length, 28);
    const int32_t axes[7] = {511, -512, 512, -1, 0, 100, 33};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(Word(events[1], i), axes[i]) << "word " << i;
    EXPECT_EQ(CodeOf(events[2]), kButtonEvent);
    EXPECT_EQ(static_cast<uint32_t>(Word(events[2], 0)), 0x80000003u);
    EXPECT_EQ(CodeOf(events[3]), kRequery);
    EXPECT_EQ(events[3].length, 0);
    EXPECT_TRUE(simulator.AwaitCount("query", 3, 1000)) << "the release did not re-query";

    EXPECT_EQ(simulator.Stop(), 0);
    unlink(script_path);
    ResetDeviceLinkState();
}

}  // namespace
