#pragma once
// JobHost: what a segment worker needs from the job that runs it: the job-wide fields and the
// three reporting operations. DownloadJob implements it; engine tests may use a small fake.
// Every member is called from worker threads, several at once.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "settings/Settings.h"

// What a job is given by its front end besides the settings file: limits of the socket layer
// (brindle-get's --connect-timeout and --stall-timeout; the window keeps the defaults),
// applied by the session to every socket of every attempt, and the pause between attempts.
struct JobOptions {
    int connectTimeoutMs = 0;  // <= 0: the socket layer's 30 s
    int stallTimeoutMs = 0;    // <= 0: the socket layer's 60 s
    // Pause after a thread's first failed attempt, doubling after each further one up to
    // kMaxRetryPauseMs (brindle-get's --retry-delay); <= 0 retries at once.
    int retryPauseMs = 500;
    static constexpr int kMaxRetryPauseMs = 30000;
};

// Job-wide fields shared by all workers of one job. url, targetPath and threadCount are set
// before the first worker starts and never change while workers run; the atomics are written
// by workers without a lock (all writers of one job store the same value).
struct JobFields {
    int threadCount = 1;
    std::string url;
    std::string targetPath;
    JobOptions options;
    std::atomic<int64_t> fileSize{-1};  // -1 while unknown
    std::atomic<int> rangeSupport{-1};  // -1 unknown, 0 no, 1 yes
    std::atomic<int64_t> startTick{0};  // tick of the first data of the job, 0 = none yet

    // The server's identity of the remote file ("ETag ...", "Last-Modified ..." or "MDTM ..."),
    // learnt with the size: the worker that asks for the size stores it before fileSize, so a
    // worker that finds fileSize known finds this too. "" when the server gave none.
    void SetValidator(const std::string& value) {
        std::lock_guard<std::mutex> guard(validatorLock);
        if (!validatorSet) validator = value;
        validatorSet = true;
    }
    std::string Validator() const {
        std::lock_guard<std::mutex> guard(validatorLock);
        return validator;
    }
    // Before the first worker starts.
    void ResetValidator() {
        std::lock_guard<std::mutex> guard(validatorLock);
        validator.clear();
        validatorSet = false;
    }

private:
    mutable std::mutex validatorLock;
    std::string validator;
    bool validatorSet = false;
};

// Part file of thread i: the target itself for thread 0, else the target followed by i ("%s%d").
inline std::string PartFileName(const std::string& targetPath, int i) {
    return i < 1 ? targetPath : targetPath + std::to_string(i);
}

class JobHost {
public:
    virtual ~JobHost() = default;
    virtual JobFields& Fields() = 0;
    // The settings as they are now; a worker takes one copy per attempt.
    virtual Settings SettingsSnapshot() const = 0;
    virtual void LogLine(const std::string& text, int threadNumber) = 0;
    virtual void ReportProgress(int64_t done, int64_t total, int64_t delta, int threadNumber) = 0;
    // One read of `delta` bytes ending at `done`, handed on as consecutive reports of at most
    // `chunk` bytes each, in order. This one calls ReportProgress per chunk; a host whose
    // reports only change state under a lock may apply them all in one locked step.
    virtual void ReportChunks(int64_t done, int64_t total, int64_t delta, int64_t chunk,
                              int threadNumber) {
        if (chunk < 1 || delta <= chunk) {
            ReportProgress(done, total, delta, threadNumber);
            return;
        }
        for (int64_t at = done - delta; at < done;) {
            const int64_t piece = done - at < chunk ? done - at : chunk;
            at += piece;
            ReportProgress(at, total, piece, threadNumber);
        }
    }
    // Called exactly once per worker, after its last attempt.
    virtual void ThreadFinished(bool ok, int threadNumber) = 0;
};
