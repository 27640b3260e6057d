#pragma once
// DownloadJob: one download of one URL into one target file, split into threadCount segments.
// Owns the workers, receives their reports (on worker threads), computes the progress texts
// and the verdict, and joins the part files. A front end (FtpForm, brindle-get) starts it on
// its own thread, polls Snapshot() and TakeLogLines() on a timer, and is woken through
// JobObserver::JobChanged for the rare events (a thread finished, the verdict).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/JobHost.h"
#include "job/PartJoiner.h"
#include "job/ProgressTexts.h"
#include "job/RateLimiter.h"
#include "job/TargetLock.h"

class SharedSettings;
class WInternetWorker;

class JobObserver {
public:
    virtual ~JobObserver() = default;
    // Called after a thread finished and after the verdict (not once the job is closing), on
    // the worker thread that finished, or on the thread that called Start for a worker that
    // could not start. Must only post a wake-up to the front end's own thread: never block,
    // never touch a widget.
    virtual void JobChanged() = 0;
};

// What the front end shows for one thread bar.
struct ThreadBarView {
    int position = 0;                          // 0..100, drawn as "%3d%%"
    std::string tooltip = kConnectingTooltip;  // then "%d b of %d", or "Failed"
    bool failed = false;                       // red instead of blue
    bool finished = false;
    // Why the thread failed, as its worker said (kind None: it did not, or nothing said why).
    Failure failure;
    int64_t done = 0;
    int64_t total = 0;
};

// What the front end shows for the whole job.
struct JobView {
    std::vector<ThreadBarView> threads;
    int position = 0;       // job bar 0..100
    std::string text;       // "" at start, "%d b of %d (%d%%) at %d bps", then the verdict
    bool failed = false;    // job bar red ("Job failed")
    bool finished = false;  // the verdict has been given
    bool succeeded = false;
    int64_t receivedTotal = 0;  // what the part files hold, resumed bytes included
    // Bytes this run received (ReportChunks), so announced resumed bytes and their withdrawal
    // are left out: what a rate is computed from.
    int64_t fetchedTotal = 0;
    int64_t fileSize = -1;
    // The job's own failure after its threads (a target that cannot be locked, joined or
    // written); kind None otherwise.
    Failure failure;
    // Set with the verdict. The file name the server suggested, as sent ("" when none did):
    // the front end decides whether and how to use it.
    std::string serverFileName;
    // The target held the whole file before the job (options.keepCompleteTarget): nothing
    // was fetched.
    bool targetWasComplete = false;
};

class DownloadJob : public JobHost {
public:
    // settings must outlive the job; observer may be null.
    DownloadJob(SharedSettings& settings, JobObserver* observer);
    // Stops and deletes any workers still running, as a closing window would (no verdict).
    ~DownloadJob() override;
    DownloadJob(const DownloadJob&) = delete;
    DownloadJob& operator=(const DownloadJob&) = delete;

    // Resets the job fields and starts one worker per thread (owner thread). A worker whose
    // thread cannot start is reported failed on its own behalf. Workers of a previous job are
    // stopped first (their verdict, normally "Job failed", comes before the reset). A thread
    // count below 1 starts nothing and gives "Job failed" at once. options: what the front end
    // adds to the settings (socket time limits, the pause between attempts), for the whole job.
    // The target is locked for the whole job: when another job holds it, nothing starts and
    // the verdict is "Job failed" with the reason logged on thread 0.
    void Start(const std::string& url, const std::string& targetPath, int threadCount,
               const JobOptions& options = {});
    // The reset part of Start without the workers: job fields, counters, texts and one
    // "Connecting..." bar per thread (owner thread, no worker running). Lets a test drive the
    // JobHost operations by hand.
    void ResetJob(const std::string& url, const std::string& targetPath, int threadCount);
    // Stops every worker (all at once), waits for each and deletes it (owner thread). Their
    // ends are still reported, so the verdict follows unless the job is closing.
    void StopAllWorkers();
    // The front end is going away: from now on reports change nothing, and there will be no
    // verdict, no join and no deletion. Then call StopAllWorkers.
    void SetClosing();

    bool IsFinished() const;
    // Waits up to ms (-1: no limit) for the verdict; true when it has been given.
    bool WaitFinished(int ms) const;
    JobView Snapshot() const;
    // Log texts in arrival order with their thread numbers; each is handed out once.
    std::vector<std::pair<int, std::string>> TakeLogLines();
    // What the last Start was given (owner thread; unchanged while workers run).
    const JobOptions& Options() const { return fields.options; }

private:
    // ---- JobHost (worker threads) ----
    // Private so that front ends read only the view: the workers hold a JobHost&, and a test
    // that drives the worker side does so through one too.
    JobFields& Fields() override { return fields; }
    Settings SettingsSnapshot() const override;
    void LogLine(const std::string& text, int threadNumber) override;
    void ReportProgress(int64_t done, int64_t total, int64_t delta, int threadNumber) override;
    // The chunks of one read, applied in one locked step: nothing reads the view between
    // them, and after the last one it is what a single report of the whole read leaves.
    void ReportChunks(int64_t done, int64_t total, int64_t delta, int64_t chunk,
                      int threadNumber) override;
    void ThreadFinished(bool ok, int threadNumber, const Failure& failure = {}) override;
    void RangeDone(int rangeId) override;
    int64_t ReadLimit() const override;

    // On the thread that finished last, outside the locks: finishes the join (or undoes the
    // early one), then publishes the verdict, unless the whole-file pass starts instead.
    void GiveVerdict(bool ok);
    // The ranged workers could not be trusted: thread 0 runs again over one connection and
    // fetches the whole file, as from a server without ranges. False when the job is
    // stopping or had its whole-file pass already.
    bool StartWholeFilePass();
    // Under finishLock: the verdict's text and state.
    void PublishVerdict(bool ok);
    // Thread bar of a report, or null for a number outside the job (progressLock held).
    ThreadBarView* Bar(int threadNumber);
    // ReportProgress with `fetched` of the delta received now rather than announced.
    void ApplyReport(int64_t done, int64_t total, int64_t delta, int64_t fetched, int threadNumber);

    SharedSettings& settings;
    JobObserver* observer;
    JobFields fields;
    // Changed by the owner thread, and by the last worker when the whole-file pass starts.
    std::mutex workersLock;
    std::vector<std::unique_ptr<WInternetWorker>> workers;
    bool stopping = false;  // StopAllWorkers has begun: no new worker
    std::atomic<bool> closing{false};
    TargetLock targetLock;
    // Appends parts as they complete; its own lock, never held with the job's.
    PartJoiner joiner;
    std::unique_ptr<RateLimiter> limiter;  // with options.rateLimit; made before the workers

    mutable std::mutex logLock;
    std::vector<std::pair<int, std::string>> logLines;

    mutable std::mutex progressLock;
    JobView view;
    int64_t receivedTotal = 0;
    int64_t fetchedTotal = 0;

    // Lock order: finishLock may take progressLock or logLock inside it, never the reverse.
    // No file work is done under it.
    mutable std::mutex finishLock;
    int finishedCount = 0;
    bool allSucceeded = true;
    bool verdictGiven = false;
    mutable std::condition_variable finishedChanged;
};
