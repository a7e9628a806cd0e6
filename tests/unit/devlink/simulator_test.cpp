// The controller simulator on its own: the bytes it puts on the line are checked against
// byte strings worked out by hand, so that a fault in it cannot hide behind the driver.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tools/simulator/simulator_process.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The default banner: "!", "1 Tessaline (R) V2.10" with bit 7 set, check byte 0xF6, CR.
const Bytes kBanner = {0x21, 0xB1, 0xA0, 0xD4, 0xE5, 0xF3, 0xF3, 0xE1, 0xEC, 0xE9, 0xEE, 0xE5,
                       0xA0, 0xA8, 0xD2, 0xA9, 0xA0, 0xD6, 0xB2, 0xAE, 0xB1, 0xB0, 0xF6, 0x0D};

int OpenSlave(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

// Everything that arrives until the line has been quiet for quiet_ms.
Bytes ReadUntilQuiet(int fd, int quiet_ms) {
    Bytes bytes;
    for (;;) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, quiet_ms) <= 0 || (watch.revents & POLLIN) == 0) return bytes;
        uint8_t chunk[256];
        ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got <= 0) return bytes;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

Bytes Query(int fd, int quiet_ms = 300) {
    const uint8_t query[] = {0x3F, 0x0D};
    EXPECT_EQ(write(fd, query, 2), 2);
    return ReadUntilQuiet(fd, quiet_ms);
}

struct AnswerCase {
    const char* name;
    std::vector<std::string> options;
    Bytes answer;
};

TEST(ControllerSimulatorTest, AnswersTheQueryAsTheControllerFramesIt) {
    Bytes bad_check = kBanner;
    bad_check[22] = 0xF7;
    const AnswerCase cases[] = {
        {"banner", {}, kBanner},
        {"bad check byte", {"--bad-check"}, bad_check},
        {"other banner", {"--banner", "Ab"}, {0x21, 0xC1, 0xE2, 0x82, 0x0D}},
        {"paced and late", {"--pace", "--delay-ms", "100"}, kBanner},
        {"silent", {"--silent"}, {}},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatorProcess simulator;
        ASSERT_TRUE(simulator.Start(c.options));
        int fd = OpenSlave(simulator.slave_path);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(Query(fd), c.answer);
        close(fd);
        EXPECT_TRUE(simulator.AwaitCount("query", 1, 500));
        EXPECT_EQ(simulator.Stop(), 0);
    }
}

TEST(ControllerSimulatorTest, KeepsServingWhileTheLineIsOpenedAndClosedAgain) {
    SimulatorProcess simulator;
    ASSERT_TRUE(simulator.Start({}));
    for (int round = 0; round < 3; ++round) {
        int fd = OpenSlave(simulator.slave_path);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(Query(fd, 150), kBanner) << "round " << round;
        close(fd);
        usleep(50 * 1000);
    }
    EXPECT_EQ(simulator.Count("query"), 3);
    EXPECT_EQ(simulator.Stop(), 0);
}

TEST(ControllerSimulatorTest, PlaysItsScriptAfterTheFirstAnswer) {
    char script_path[] = "/tmp/simulator-script-XXXXXX";
    int script_fd = mkstemp(script_path);
    ASSERT_GE(script_fd, 0);
    close(script_fd);
    std::ofstream(script_path) << "motion 511 -512 512 -1 0 100\n"
                                  "buttons 0x80000003\n"
                                  "text hi\n"
                                  "raw 45 93 80 D6 0D\n";
    SimulatorProcess simulator;
    ASSERT_TRUE(simulator.Start({"--script", script_path}));
    int fd = OpenSlave(simulator.slave_path);
    ASSERT_GE(fd, 0);
    Bytes expected = kBanner;
    const Bytes motion = {0x44, 0x80, 0xE9, 0x93, 0xB2, 0xA3, 0xEF, 0xAB, 0xB9, 0x98, 0x98, 0xD2, 0x0D};
    const Bytes buttons = {0x4B, 0x80, 0xC3, 0x80, 0x88, 0x0D};
    const Bytes text = {0x52, 0xE8, 0xE9, 0xD3, 0x0D};
    const Bytes raw = {0x45, 0x93, 0x80, 0xD6, 0x0D};
    for (const Bytes* packet : {&motion, &buttons, &text, &raw}) expected.insert(expected.end(), packet->begin(), packet->end());
    EXPECT_EQ(Query(fd), expected);
    close(fd);
    EXPECT_EQ(simulator.Stop(), 0);
    unlink(script_path);
}

TEST(ControllerSimulatorTest, HangsUpAfterTheAnswersItWasToldToGive) {
    SimulatorProcess simulator;
    ASSERT_TRUE(simulator.Start({"--hangup-after", "2"}));
    int fd = OpenSlave(simulator.slave_path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Query(fd, 150), kBanner);
    EXPECT_EQ(Query(fd, 150), kBanner);
    int status = 0;
    pid_t ended = 0;
    for (int waited = 0; waited < 2000 && ended == 0; waited += 10) {
        ended = waitpid(simulator.pid, &status, WNOHANG);
        if (ended == 0) usleep(10 * 1000);
    }
    ASSERT_EQ(ended, simulator.pid);
    simulator.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(simulator.Count("hangup"), 1);
    close(fd);
}

TEST(ControllerSimulatorTest, RefusesABadCommandLine) {
    for (const char* argument : {"--delay-ms", "--bogus", "--hangup-after"}) {
        pid_t child = fork();
        if (child == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(CONTROLLER_SIMULATOR, CONTROLLER_SIMULATOR, argument, "x", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 2) << argument;
    }
}

}  // namespace
