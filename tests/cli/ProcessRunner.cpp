#include "ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace clitest {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& dir, const std::vector<std::string>& env) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return;
    // Everything the child needs is built before fork: only async-signal-safe calls after it.
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        // brindle-get honours the proxy variables: a run in a proxied shell stays direct.
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('='));
        if (name.size() > 6 && (name.substr(name.size() - 6) == "_proxy" ||
                                name.substr(name.size() - 6) == "_PROXY")) {
            continue;
        }
        envStrings.emplace_back(*e);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    started = std::chrono::steady_clock::now();
    pid = ::fork();
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        // A new session: no controlling terminal, as in CI.
        ::setsid();
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    outFd = outPipe[0];
    errFd = errPipe[0];
}

ChildProcess::~ChildProcess() {
    if (pid > 0 && !reaped) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    if (outFd >= 0) ::close(outFd);
    if (errFd >= 0) ::close(errFd);
}

void ChildProcess::Signal(int signalNumber) {
    if (pid > 0 && !reaped) ::kill(pid, signalNumber);
}

ProcessResult ChildProcess::Wait(int timeoutMs) {
    ProcessResult result;
    if (pid <= 0) return result;
    const auto deadline = started + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (outFd >= 0 || errFd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
        for (int k = 0; k < 2; ++k) {
            int& fd = k == 0 ? outFd : errFd;
            if (fd < 0 || fds[k].revents == 0) continue;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                (k == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            } else {
                ::close(fd);
                fd = -1;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    reaped = true;
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& dir, const std::vector<std::string>& env,
                         int timeoutMs) {
    ChildProcess child(program, args, dir, env);
    return child.Wait(timeoutMs);
}

}  // namespace clitest
