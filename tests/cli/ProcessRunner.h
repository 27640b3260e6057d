#pragma once
// Runs the built brindle-get as a child process for end-to-end tests: arguments, working
// directory and extra environment in; exit status, stdout and stderr out. Every run is bounded:
// a child still running at its deadline is killed and the run reports a timeout.
#include <chrono>
#include <string>
#include <vector>

namespace clitest {

struct ProcessResult {
    int exitCode = -1;  // -1 when killed by a signal or timed out
    bool timedOut = false;
    std::string out;
    std::string err;
    std::chrono::milliseconds took{0};
};

class ChildProcess {
public:
    // Starts program with args in dir (stdin from /dev/null, stdout and stderr captured) with
    // the given "NAME=value" entries added to the environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& dir, const std::vector<std::string>& env);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Signal(int signalNumber);
    // Collects the output until the child ends, at most timeoutMs; then kills it.
    ProcessResult Wait(int timeoutMs);

private:
    int pid = -1;
    int outFd = -1;
    int errFd = -1;
    std::chrono::steady_clock::time_point started;
    bool reaped = false;
};

// Starts and waits in one go.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& dir, const std::vector<std::string>& env,
                         int timeoutMs);

}  // namespace clitest
