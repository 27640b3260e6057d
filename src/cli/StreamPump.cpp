#include "cli/StreamPump.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "net/WriteAll.h"

namespace {
constexpr int64_t kStepBytes = 1 << 20;
constexpr int kPollMs = 100;
}  // namespace

StreamPump::StreamPump(std::string file_, const OutputTarget& output_)
    : file(std::move(file_)),
      output(output_),
      outputName(output_.toStdout ? "standard output" : output_.streamPath) {}

StreamPump::~StreamPump() {
    Stop();
    if (in >= 0) ::close(in);
    if (out >= 0 && !output.toStdout) ::close(out);
}

std::string StreamPump::Start() {
    try {
        thread = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        return std::string("cannot start the stream: ") + e.what();
    }
    return "";
}

void StreamPump::Fail(const std::string& why) {
    problem = why;
    failed = true;
}

void StreamPump::Run() {
    // Opened here, and without blocking: a FIFO has no writer's end before its reader comes,
    // and neither the job nor a stop waits for that.
    out = STDOUT_FILENO;
    while (!output.toStdout) {
        out = ::open(output.streamPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (out >= 0) {
            ::fcntl(out, F_SETFL, ::fcntl(out, F_GETFL) & ~O_NONBLOCK);
            break;
        }
        if (errno != ENXIO) {
            Fail("cannot open " + outputName + ": " + std::strerror(errno));
            return;
        }
        std::unique_lock<std::mutex> guard(lock);
        wake.wait_for(guard, std::chrono::milliseconds(kPollMs), [this] { return stopping; });
        if (stopping) return;
    }
    struct stat st {};
    outIsPipe = ::fstat(out, &st) == 0 && S_ISFIFO(st.st_mode);
    for (;;) {
        int64_t limit = -1;
        {
            std::unique_lock<std::mutex> guard(lock);
            wake.wait_for(guard, std::chrono::milliseconds(50),
                          [this] { return stopping || finalSize >= 0; });
            if (stopping) return;
            limit = finalSize;
        }
        if (!SendAvailable(limit)) return;
        if (limit >= 0 && sent.load() >= limit) return;
    }
}

bool StreamPump::SendAvailable(int64_t limit) {
    if (in < 0) {
        in = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        // Not there before thread 0's first bytes.
        if (in < 0 && errno == ENOENT && limit < 0) return true;
        if (in < 0) {
            Fail("cannot read " + file + ": " + std::strerror(errno));
            return false;
        }
    }
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        Fail("cannot read " + file + ": " + std::strerror(errno));
        return false;
    }
    const int64_t size = static_cast<int64_t>(st.st_size);
    if (size < sent.load()) {
        // Fetched again from its start (the whole file over one connection): what went out
        // cannot be taken back.
        Fail("the file was fetched again after " + std::to_string(sent.load()) +
             " bytes of it had gone to " + outputName);
        return false;
    }
    if (!SendRange(limit >= 0 ? std::min(size, limit) : size)) return false;
    if (limit >= 0 && size < limit) {
        // The job said the file is whole, but it holds less: nothing more will come.
        Fail(file + " holds " + std::to_string(size) + " bytes, not " + std::to_string(limit));
        return false;
    }
    return true;
}

bool StreamPump::SendRange(int64_t end) {
    std::vector<char> buffer;
    while (sent.load() < end) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (stopping) return false;
        }
        const auto step = static_cast<size_t>(std::min(end - sent.load(), kStepBytes));
        if (outIsPipe) {
            loff_t at = sent.load();
            const ssize_t n =
                ::splice(in, &at, out, nullptr, step, SPLICE_F_NONBLOCK | SPLICE_F_MOVE);
            if (n > 0) {
                sent += n;
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                // A full pipe: wait for the reader, a little at a time, so a stop is seen.
                pollfd ready{out, POLLOUT, 0};
                ::poll(&ready, 1, kPollMs);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EPIPE) {
                readerGone = true;
                return false;
            }
            // A file system that cannot splice: copied through memory instead.
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                outIsPipe = false;
                continue;
            }
            Fail(n == 0 ? file + " ended early"
                        : "cannot write to " + outputName + ": " + std::strerror(errno));
            return false;
        }
        buffer.resize(step);
        const ssize_t n = ::pread(in, buffer.data(), step, static_cast<off_t>(sent.load()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Fail(n == 0 ? file + " ended early"
                        : "cannot read " + file + ": " + std::strerror(errno));
            return false;
        }
        int error = 0;
        WriteAll(out, buffer.data(), static_cast<size_t>(n), error);
        if (error == EPIPE) {
            readerGone = true;
            return false;
        }
        if (error != 0) {
            Fail("cannot write to " + outputName + ": " + std::strerror(error));
            return false;
        }
        sent += n;
    }
    return true;
}

std::string StreamPump::Finish(int64_t size) {
    {
        std::lock_guard<std::mutex> guard(lock);
        finalSize = std::max<int64_t>(size, 0);
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
    if (failed) return problem;
    if (readerGone) return "the reader of " + outputName + " went away";
    if (sent.load() != size) {
        return "only " + std::to_string(sent.load()) + " of " + std::to_string(size) +
               " bytes went to " + outputName;
    }
    if (out >= 0 && !output.toStdout) {
        const int closed = ::close(out);
        out = -1;
        if (closed != 0) return "cannot write to " + outputName + ": " + std::strerror(errno);
    }
    return "";
}

void StreamPump::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
}

std::string StreamPump::Problem() const {
    return failed ? problem : "";
}
