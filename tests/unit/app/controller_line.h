// A serial line for the whole-run tests: the controller simulator running in its own
// process on a pseudo-terminal, answering the query or (silent) saying nothing.
#pragma once

#include <string>
#include <sys/types.h>

class ControllerLine {
public:
    ControllerLine() = default;
    ControllerLine(const ControllerLine&) = delete;
    ControllerLine& operator=(const ControllerLine&) = delete;
    ~ControllerLine();

    // Starts the simulator and waits for the path of its line; false with error() set
    // when it could not be started.
    bool Start(bool silent = false);
    const std::string& device_path() const { return device_path_; }
    const std::string& error() const { return error_; }
    // Whether nobody holds the line: the serial channel locks what it opens.
    bool IsFree() const;

private:
    pid_t pid_ = -1;
    std::string directory_;
    std::string log_path_;
    std::string device_path_;
    std::string error_;
};
