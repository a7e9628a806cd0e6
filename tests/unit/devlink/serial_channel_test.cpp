// The POSIX serial channel over pseudo-terminals that the test makes and plays itself.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "device_log_recorder.h"
#include "devlink/device_link_testing.h"
#include "devlink/driver_core.h"
#include "devlink/serial_channel.h"
#include "platform/serial_names.h"
#include "tools/simulator/pty_pair.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SerialChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSerialChannelState();
        ASSERT_TRUE(pty.Open());
        channel.handle = pty.slave;
    }
    void TearDown() override {
        pty.Close();
        ResetSerialChannelState();
        ClearSerialDevicePaths();
    }
    PtyPair pty;
    ComChannel channel{};
};

TEST_F(SerialChannelTest, PushedBackByteIsReadOnceWithoutTouchingThePort) {
    pty.Send({0x41});
    ASSERT_EQ(UdComUnreadByte(&channel, 0x21), 1);
    ASSERT_EQ(UdComUnreadByte(&channel, 0x64), 1);  // one byte deep: replaces the first
    uint8_t byte = 0;
    ASSERT_EQ(UdComReadByte(&channel, &byte), 1);
    EXPECT_EQ(byte, 0x64);
    ASSERT_EQ(UdComReadByte(&channel, &byte), 1);
    EXPECT_EQ(byte, 0x41);
    EXPECT_EQ(UdComReadByte(&channel, &byte), -1);
}

TEST_F(SerialChannelTest, ReadingAnEmptyLineGivesMinusOneAtOnce) {
    uint8_t byte = 0x5A;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(UdComReadByte(&channel, &byte), -1);
}

TEST_F(SerialChannelTest, WritesReachTheFarEnd) {
    const uint8_t command[] = {0x4E, 0x85, 0xCB, 0x0D};
    ASSERT_EQ(UdComWrite(&channel, command, 4), 1);
    ASSERT_EQ(UdComWriteByte(&channel, 0x3F), 1);
    EXPECT_EQ(pty.Received(), (Bytes{0x4E, 0x85, 0xCB, 0x0D, 0x3F}));
}

TEST_F(SerialChannelTest, MissingArgumentsGiveZeroAndSendNothing) {
    const uint8_t byte = 0x3F;
    uint8_t out = 0;
    EXPECT_EQ(UdComWrite(&channel, &byte, 0), 0);
    EXPECT_EQ(UdComWrite(&channel, &byte, -1), 0);
    EXPECT_EQ(UdComWrite(&channel, nullptr, 1), 0);
    EXPECT_EQ(UdComWrite(nullptr, &byte, 1), 0);
    EXPECT_EQ(UdComWriteByte(nullptr, byte), 0);
    EXPECT_EQ(UdComReadByte(nullptr, &out), 0);
    EXPECT_EQ(UdComReadByte(&channel, nullptr), 0);
    EXPECT_EQ(UdComOpen(nullptr), 0);
    EXPECT_TRUE(pty.Received(20).empty());
}

TEST_F(SerialChannelTest, WriteToAClosedLineFails) {
    ComChannel closed{};
    closed.handle = -1;
    const uint8_t command[] = {0x3F, 0x0D};
    EXPECT_EQ(UdComWrite(&closed, command, 2), -1);
    EXPECT_EQ(UdComWriteByte(&closed, 0x3F), -1);
}

TEST(SerialChannelPortNameTest, NamesPortsZeroToFour) {
    struct Case {
        int32_t number;
        int32_t result;
        const char* name;
    };
    const Case cases[] = {{0, 1, "COM0"}, {1, 1, "COM1"}, {4, 1, "COM4"}, {5, 0, ""}, {-1, 0, ""}};
    for (const Case& c : cases) {
        char buffer[16] = "";
        EXPECT_EQ(UdComPortName(c.number, buffer, sizeof(buffer)), c.result) << c.number;
        EXPECT_STREQ(buffer, c.name) << c.number;
    }
    char buffer[16] = "";
    EXPECT_EQ(UdComPortName(1, nullptr, 16), 0);
    EXPECT_EQ(UdComPortName(1, buffer, 0), 0);
    EXPECT_EQ(UdComPortName(1, buffer, -5), 0);

    // A buffer smaller than the name gets what fits, and nothing beyond its size.
    char guarded[8];
    memset(guarded, 0x5A, sizeof(guarded));
    EXPECT_EQ(UdComPortName(3, guarded, 3), 1);
    EXPECT_STREQ(guarded, "CO");
    EXPECT_EQ(guarded[3], 0x5A);
    memset(guarded, 0x5A, sizeof(guarded));
    EXPECT_EQ(UdComPortName(3, guarded, 1), 1);
    EXPECT_STREQ(guarded, "");
    EXPECT_EQ(guarded[1], 0x5A);
}

// One real open costs the 2000 ms settle wait, so this body checks everything an open
// promises: the mapped path, the log lines, the line settings, the purge after the wait,
// the exclusive hold and the close.
TEST_F(SerialChannelTest, OpenConfiguresPurgesHoldsAndCloses) {
    ASSERT_EQ(SetSerialDevicePath("COM3", pty.slave_path.c_str()), 1);
    ComChannel opened{};
    strcpy(opened.port_name, "COM3");

    // The far end talks while the line settles; none of it may reach the reader.
    std::atomic<bool> done{false};
    std::thread chatter([&] {
        for (int i = 0; i < 15 && !done; ++i) {
            const uint8_t noise[] = {0x21, 0xB1, 0x0D};
            ssize_t written = write(pty.master, noise, sizeof(noise));
            (void)written;
            usleep(100 * 1000);
        }
    });
    DeviceLogRecorder recorder;
    int32_t result = UdComOpen(&opened);
    std::string log = recorder.Take();
    done = true;
    chatter.join();

    ASSERT_EQ(result, 1);
    EXPECT_EQ(log, "UdComOpen:  opening COM3\n");
    EXPECT_EQ(LastComHandle, opened.handle);
    uint8_t byte = 0;
    EXPECT_EQ(UdComReadByte(&opened, &byte), -1);

    termios settings{};
    ASSERT_EQ(tcgetattr(opened.handle, &settings), 0);
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);

    pty.Send({0x21});
    ASSERT_EQ(UdComReadByte(&opened, &byte), 1);
    EXPECT_EQ(byte, 0x21);

    // A second opener, in this process or another, is refused like share mode 0.
    ComChannel second{};
    strcpy(second.port_name, pty.slave_path.c_str());
    EXPECT_EQ(UdComOpen(&second), -1);
    log = recorder.Take();
    EXPECT_EQ(log.rfind("UdComOpen:  opening " + pty.slave_path + "\nUdComOpen:  CreateFile failed  ", 0), 0u)
        << log;
    EXPECT_EQ(second.handle, -1);
    EXPECT_EQ(LastComHandle, opened.handle);

    pid_t child = fork();
    if (child == 0) {
        int fd = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1) << "another process took the held port";

    EXPECT_EQ(UdComClose(), 1);
    EXPECT_EQ(fcntl(opened.handle, F_GETFD), -1) << "the port is still open";
}

TEST_F(SerialChannelTest, OpenOfAMissingPortLogsTheErrorAndKeepsTheLastHandle) {
    LastComHandle = pty.slave;
    ComChannel missing{};
    strcpy(missing.port_name, "/dev/no-such-port");
    DeviceLogRecorder recorder;
    EXPECT_EQ(UdComOpen(&missing), -1);
    EXPECT_EQ(recorder.Take(),
              "UdComOpen:  opening /dev/no-such-port\nUdComOpen:  CreateFile failed  2\n");
    EXPECT_EQ(missing.handle, -1);
    EXPECT_EQ(LastComHandle, pty.slave);
}

// The exclusive mode of a terminal binds only ordinary users; root opens through it. So
// these cases run their steps in a child that is one, under root after handing the line
// to nobody and becoming nobody. The child exits with the number of the first step that went wrong, 0 if none.
constexpr uid_t kOrdinaryUser = 65534;

int RunAsOrdinaryUser(const std::string& line_path, int (*steps)(const std::string& path)) {
    const bool root = geteuid() == 0;
    if (root && chown(line_path.c_str(), kOrdinaryUser, kOrdinaryUser) != 0) return 100;
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (root && (setgid(kOrdinaryUser) != 0 || setuid(kOrdinaryUser) != 0)) _exit(101);
        SetDeviceLogSink([](const char*) {});
        _exit(steps(line_path));
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 102;
    return WEXITSTATUS(status);
}

// What an ordinary program's plain open of the line meets: 0 when it gets the line,
// else the error (EBUSY while the line is in exclusive mode).
int PlainOpenError(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

TEST_F(SerialChannelTest, ExclusiveHoldEndsWithEveryClose) {
    int failed_step = RunAsOrdinaryUser(pty.slave_path, [](const std::string& path) {
        ComChannel channel{};
        snprintf(channel.port_name, sizeof(channel.port_name), "%s", path.c_str());
        if (UdComOpen(&channel) != 1) return 1;
        if (PlainOpenError(path) != EBUSY) return 2;  // held: not even a plain open gets in
        if (UdComClose() != 1) return 3;
        if (PlainOpenError(path) != 0) return 4;
        // A port that a failed identification left open is closed by the reset.
        if (UdComOpen(&channel) != 1) return 5;
        ResetSerialChannelState();
        if (PlainOpenError(path) != 0) return 6;
        return 0;
    });
    EXPECT_EQ(failed_step, 0) << "1 open, 2 hold, 3 close, 4 open after the close, "
                                 "5 reopen, 6 open after the reset";
}

TEST_F(SerialChannelTest, RefusedOpenLeavesTheHoldersLineAsItWas) {
    // Another program holds the line by its lock, without exclusive mode.
    int holder = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    int failed_step = RunAsOrdinaryUser(pty.slave_path, [](const std::string& path) {
        ComChannel channel{};
        snprintf(channel.port_name, sizeof(channel.port_name), "%s", path.c_str());
        if (UdComOpen(&channel) != -1) return 1;
        if (PlainOpenError(path) != 0) return 2;
        return 0;
    });
    EXPECT_EQ(failed_step, 0) << "1 the held line was opened, 2 the line was left in exclusive mode";
    ioctl(holder, TIOCNXCL);
    close(holder);
}

// A scratch folder with one thing of each kind that is not a terminal.
class NonTerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSerialChannelState();
        ClearSerialDevicePaths();
        char pattern[] = "/tmp/devlink-ports-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        std::ofstream(folder + "/COM1").close();
        ASSERT_EQ(mkdir((folder + "/COM2").c_str(), 0700), 0);
        ASSERT_EQ(mkfifo((folder + "/COM3").c_str(), 0600), 0);
    }
    void TearDown() override {
        ResetSerialChannelState();
        for (const char* name : {"/COM1", "/COM3"}) unlink((folder + name).c_str());
        rmdir((folder + "/COM2").c_str());
        rmdir(folder.c_str());
    }
    std::string folder;
};

TEST_F(NonTerminalTest, AnythingButATerminalFailsAtOnceLikeAMissingPort) {
    struct Case {
        std::string name;
        int error;
    };
    const Case cases[] = {
        {folder + "/COM1", 25},  // regular file: ENOTTY
        {folder + "/COM2", 25},  // folder
        {folder + "/COM3", 25},  // named pipe
        {"/dev/null", 25},       // a device, but no terminal
        {folder + "/COM4", 2},   // missing: ENOENT
    };
    const ComHandle earlier = 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LastComHandle = earlier;
        ComChannel channel{};
        snprintf(channel.port_name, sizeof(channel.port_name), "%s", c.name.c_str());
        DeviceLogRecorder recorder;
        EXPECT_EQ(UdComOpen(&channel), -1);
        EXPECT_EQ(recorder.Take(), "UdComOpen:  opening " + c.name + "\nUdComOpen:  CreateFile failed  " +
                                       std::to_string(c.error) + "\n");
        EXPECT_EQ(channel.handle, -1);
        EXPECT_EQ(LastComHandle, earlier);
    }
    LastComHandle = -1;
}

// An unmapped port name is a path from the working folder; a file that happens to be
// called COM1 there must not be taken for the controller's port and written to.
TEST_F(NonTerminalTest, IdentificationLeavesAFileNamedLikeAPortAlone) {
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    ResetDeviceLinkState();
    DeviceInfo info{};
    SetDevicePort(&info, "COM1");
    DeviceLogRecorder recorder;
    EXPECT_EQ(IdentifyDevice(&info), 0);
    EXPECT_EQ(recorder.Take(), "UdComOpen:  opening COM1\nUdComOpen:  CreateFile failed  25\n");
    ResetDeviceLinkState();
    ASSERT_EQ(chdir(previous), 0);
    struct stat file {};
    ASSERT_EQ(stat((folder + "/COM1").c_str(), &file), 0);
    EXPECT_EQ(file.st_size, 0) << "the query reached the file";
}

}  // namespace
