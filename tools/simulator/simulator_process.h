// Runs the controller simulator as a child process for one test or benchmark round and
// stops it again. Its path, CONTROLLER_SIMULATOR, comes from linking the CMake target
// gyr_simulator_process, which also has the simulator built first.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct SimulatorProcess {
    pid_t pid = -1;
    std::string slave_path;
    std::string log_path;

    // Starts the simulator with the given options and a log of its own; false on failure.
    bool Start(const std::vector<std::string>& options) {
        char log_template[] = "/tmp/devlink-simulator-XXXXXX";
        int log_fd = mkstemp(log_template);
        if (log_fd < 0) return false;
        close(log_fd);
        log_path = log_template;

        std::vector<std::string> arguments = {CONTROLLER_SIMULATOR, "--log", log_path};
        arguments.insert(arguments.end(), options.begin(), options.end());
        int out[2];
        if (pipe(out) != 0) return false;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (std::string& a : arguments) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line is the slave's path.
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') slave_path += c;
        close(out[0]);
        return pid > 0 && !slave_path.empty();
    }

    // Number of log lines that read exactly `line`.
    int Count(const std::string& line) const {
        std::ifstream in(log_path);
        int count = 0;
        for (std::string text; std::getline(in, text);) count += text == line ? 1 : 0;
        return count;
    }

    // Waits up to the given time for `line` to appear `times` times.
    bool AwaitCount(const std::string& line, int times, int wait_ms) const {
        for (int waited = 0; waited <= wait_ms; waited += 10) {
            if (Count(line) >= times) return true;
            usleep(10 * 1000);
        }
        return false;
    }

    // Stops the simulator and gives its exit status (-1 when it did not end cleanly).
    int Stop() {
        if (pid <= 0) return -1;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~SimulatorProcess() {
        Stop();
        if (!log_path.empty()) unlink(log_path.c_str());
    }
};
