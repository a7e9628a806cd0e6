#include "tests/unit/app/controller_line.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

ControllerLine::~ControllerLine() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (!log_path_.empty()) unlink(log_path_.c_str());
    if (!directory_.empty()) rmdir(directory_.c_str());
}

bool ControllerLine::Start(bool silent) {
    char directory[] = "/tmp/gyrsetup-line-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    directory_ = directory;
    log_path_ = directory_ + "/events.log";

    int out[2];
    if (pipe(out) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    pid_ = fork();
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        close(out[0]);
        close(out[1]);
        return false;
    }
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        const char* program = GYR_CONTROLLER_SIMULATOR;
        if (silent)
            execl(program, program, "--log", log_path_.c_str(), "--silent", (char*)nullptr);
        else
            execl(program, program, "--log", log_path_.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(out[1]);
    // The first line the simulator prints is its slave path.
    std::string line;
    pollfd watch{out[0], POLLIN, 0};
    char c;
    while (poll(&watch, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    if (line.empty() || line[0] != '/') {
        error_ = "the simulator printed no line path";
        return false;
    }
    device_path_ = line;
    return true;
}

bool ControllerLine::IsFree() const {
    int fd = open(device_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}
