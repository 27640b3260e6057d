#pragma once
// JobHost: what a segment worker needs from the job that runs it: the job-wide fields and the
// three reporting operations. DownloadJob implements it; engine tests may use a small fake.
// Every member is called from worker threads, several at once.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/Failure.h"
#include "engine/JobKnowledge.h"
#include "engine/ProxyRoute.h"
#include "net/WSocket.h"
#include "settings/Settings.h"

// What a job is given by its front end besides the settings file, for the whole job: limits of
// the socket layer (brindle-get's --connect-timeout and --stall-timeout; the window keeps the
// defaults), applied by the session to every socket of every attempt, the pause between
// attempts, and how https and redirects are handled.
struct JobOptions {
    JobOptions() = default;
    JobOptions(int connectMs, int stallMs, int retryMs = 500)
        : connectTimeoutMs(connectMs), stallTimeoutMs(stallMs), retryPauseMs(retryMs) {}

    int connectTimeoutMs = 0;  // <= 0: the socket layer's 30 s
    int stallTimeoutMs = 0;    // <= 0: the socket layer's 60 s
    // Pause after a thread's first failed attempt, doubling after each further one up to
    // kMaxRetryPauseMs (brindle-get's --retry-delay); <= 0 retries at once.
    int retryPauseMs = 500;
    static constexpr int kMaxRetryPauseMs = 30000;
    TlsOptions tls;             // how https servers are checked
    bool httpsAllowed = false;  // https:// URLs are fetched (brindle-get and the window say so)
    int maxRedirects = 10;      // redirects followed per attempt
    std::string userAgent;      // the User-Agent of every HTTP request; "" for kUserAgent
    // A target that already holds the whole file (its size is the remote size, no part files)
    // is kept as it is and nothing is fetched (brindle-get -c); otherwise it is cut to
    // segment 0 like any part longer than its segment.
    bool keepCompleteTarget = false;
    int64_t rateLimit = 0;  // bytes per second over all threads of the job; 0: no limit
    // With "useproxy" off, the proxies each fetched URL is routed by (brindle-get's
    // environment); empty for the window, which connects directly.
    EnvironmentProxies environmentProxies;
    // "user:password" for the HTTP proxy of the settings (brindle-get's --proxy with
    // user:pass@), sent as Proxy-Authorization; "" for none.
    std::string proxyCredentials;
    // A thread that has finished its range takes part of the slowest one's remainder.
    bool resplit = true;
    // Thread 0 of a fresh HTTP job learns the size from its first GET instead of HEAD.
    bool sizeFromFirstGet = true;
    ResplitRules resplitRules;
    static constexpr const char* kUserAgent = "Brindle/" BRINDLE_VERSION;
    const std::string& UserAgent() const {
        static const std::string standard = kUserAgent;
        return userAgent.empty() ? standard : userAgent;
    }
};

// Job-wide fields shared by all workers of one job. url, targetPath and threadCount are set
// before the first worker starts and never change while workers run; the atomics are written
// by workers without a lock (all writers of one job store the same value).
struct JobFields {
    // The first segments of the file, one per part file: the thread count of the run that
    // began the parts, which a resume keeps whatever its own count.
    int threadCount = 1;
    // The threads that run; any count. Those past threadCount start without a segment and
    // take one as it comes free.
    int workers = 1;
    std::string url;
    std::string targetPath;
    std::atomic<int64_t> startTick{0};  // tick of the first data of the job, 0 = none yet
    JobOptions options;                 // set with url, never changed while workers run
    // The job cannot succeed, whatever a retry does: every worker ends without a further
    // attempt.
    std::atomic<bool> noMoreAttempts{false};
    // A failure no retry can mend: sets noMoreAttempts, and the first one is kept as the
    // reason of the threads that stopped for it.
    void GiveUp(const Failure& failure) {
        std::lock_guard<std::mutex> guard(giveUpLock);
        if (!givenUpFor.Known()) givenUpFor = failure;
        noMoreAttempts = true;
    }
    Failure GivenUpFor() const {
        std::lock_guard<std::mutex> guard(giveUpLock);
        return givenUpFor;
    }
    // Owner thread, no worker running.
    void ResetGiveUp() {
        std::lock_guard<std::mutex> guard(giveUpLock);
        givenUpFor = {};
        noMoreAttempts = false;
    }
    // What the workers learn of the remote file, the ranges and the leads.
    JobKnowledge knowledge;

    // The server cannot be trusted with offsets (it ignored one, or the parts did not fit
    // together): the ranged workers wind down, then thread 0 fetches the whole file over one
    // connection, as from a server without ranges.
    enum class WholeFile { No, Wanted, Fetching };
    std::atomic<WholeFile> wholeFile{WholeFile::No};
    // True for the caller that moved the job from No to Wanted.
    bool RequestWholeFile() {
        WholeFile no = WholeFile::No;
        return wholeFile.compare_exchange_strong(no, WholeFile::Wanted);
    }
    // Whether a worker of this thread should stop fetching its range now.
    bool RangesAbandoned(int threadNumber) const {
        const WholeFile state = wholeFile.load();
        return state == WholeFile::Wanted || (state == WholeFile::Fetching && threadNumber > 0);
    }

    // The URL the first worker's redirects led to (url itself when there were none); every
    // later attempt of every worker starts there, so the whole file comes from one place.
    std::string CurrentUrl() const {
        const std::string final = knowledge.FinalUrl();
        return final.empty() ? url : final;
    }

    // With options.keepCompleteTarget: whether the target held the whole file of fileSize
    // bytes before the job, with no part file 1..threadCount-1 beside it. Decided once, by the
    // first worker that knows the size, before any worker has touched a file (each asks
    // before its first change), so every worker gets the same answer.
    bool TargetComplete(int64_t size) {
        std::lock_guard<std::mutex> guard(completeLock);
        if (complete < 0) complete = TargetState(size);
        return complete == 1;
    }
    // Decided with TargetComplete: the target is longer than the remote file. A resume never
    // cuts the user's bytes; only a fresh start may.
    bool TargetTooLong() const {
        std::lock_guard<std::mutex> guard(completeLock);
        return complete == 2;
    }
    // Owner thread, no worker running.
    void ResetTargetComplete() {
        std::lock_guard<std::mutex> guard(completeLock);
        complete = -1;
        roomChecked = false;
        roomProblem.clear();
    }
    // Whether the file system can hold what is still missing of a file of `size` bytes (the
    // target and its numbered parts count as held): "" when it can, else why not. Decided
    // once, like TargetComplete, before any byte is fetched.
    std::string RoomProblem(int64_t size) {
        std::lock_guard<std::mutex> guard(completeLock);
        if (!roomChecked) roomProblem = FindRoomProblem(size);
        roomChecked = true;
        return roomProblem;
    }
    // After the job: true when TargetComplete said so (nothing was fetched).
    bool WasTargetComplete() const {
        std::lock_guard<std::mutex> guard(completeLock);
        return complete == 1;
    }

private:
    mutable std::mutex giveUpLock;
    Failure givenUpFor;
    // 1: the whole file and no part beside it; 2: longer than size; 0: otherwise.
    int TargetState(int64_t size) const;
    std::string FindRoomProblem(int64_t size) const;
    bool roomChecked = false;
    std::string roomProblem;
    mutable std::mutex completeLock;
    int complete = -1;  // -1 undecided, then TargetState's answer
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
    // Called exactly once per worker, after its last attempt; failure says why it failed
    // (kind None when it succeeded or nothing said why).
    virtual void ThreadFinished(bool ok, int threadNumber, const Failure& failure = {}) = 0;
    // A range (RangeTable id) is complete in its part file and closed; its thread goes on.
    virtual void RangeDone(int /*rangeId*/) {}
    // The most a worker should take from a connection in one read, 0 for no bound. A job
    // held to a rate keeps reads small, since the rate can only be paid after a read.
    virtual int64_t ReadLimit() const { return 0; }
};
