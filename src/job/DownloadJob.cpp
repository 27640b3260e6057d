#include "job/DownloadJob.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string_view>

#include "engine/TextFormat.h"
#include "engine/WInternetWorker.h"
#include "job/PartFiles.h"
#include "job/ProgressTexts.h"
#include "net/TickCount.h"
#include "settings/Settings.h"

DownloadJob::DownloadJob(SharedSettings& settings, JobObserver* observer)
    : settings(settings), observer(observer) {}

DownloadJob::~DownloadJob() {
    SetClosing();
    StopAllWorkers();
}

void DownloadJob::Start(const std::string& url, const std::string& targetPath, int threadCount,
                        const JobOptions& options) {
    ResetJob(url, targetPath, threadCount);
    fields.options = options;
    ResplitRules rules = options.resplitRules;
    // A rate limit holds connections back on purpose: none of them is to blame.
    rules.replaceSlow = rules.replaceSlow && options.rateLimit <= 0;
    rules.race = rules.race && options.rateLimit <= 0;
    fields.knowledge.ranges.Reset(rules);
    if (options.rateLimit > 0) limiter = std::make_unique<RateLimiter>(options.rateLimit);
    if (threadCount < 1) {
        if (observer != nullptr) observer->JobChanged();
        return;
    }
    std::string lockError;
    if (!targetLock.Acquire(targetPath, fields.threadCount, lockError)) {
        // Two jobs writing one target interleave their bytes; this one touches nothing.
        LogLine("Job failed: " + lockError + "\r\n", 0);
        {
            std::lock_guard<std::mutex> lock(finishLock);
            {
                std::lock_guard<std::mutex> progress(progressLock);
                view.failure = {Failure::Kind::LocalFile, lockError, true};
            }
            PublishVerdict(false);
        }
        if (observer != nullptr) observer->JobChanged();
        return;
    }

    {
        std::lock_guard<std::mutex> guard(workersLock);
        stopping = false;
    }
    if (fields.threadCount != threadCount) {
        LogLine(FormatText("Resumes the %d part files of a run with %d threads on %d "
                           "connection%s\r\n",
                           fields.threadCount, fields.threadCount, threadCount,
                           threadCount == 1 ? "" : "s"),
                0);
    }
    for (int i = 0; i < threadCount; ++i) {
        auto worker = std::make_unique<WInternetWorker>();
        const bool started = worker->Start(this, i);
        {
            std::lock_guard<std::mutex> guard(workersLock);
            workers.push_back(std::move(worker));
        }
        if (!started) {
            // The worker will never report its end, so the job reports it on its behalf.
            LogLine("Thread #" + std::to_string(i) + ". could not be started\r\n", i);
            ThreadFinished(false, i);
        }
    }
}

void DownloadJob::ResetJob(const std::string& url, const std::string& targetPath, int threadCount) {
    StopAllWorkers();
    // No worker runs now, so the plain fields can be written; starting a thread publishes
    // them to it.
    // Part files begun by a run with another count keep their segments; this run's threads
    // share them out.
    fields.threadCount = threadCount < 1 ? threadCount : PartLayout(targetPath, threadCount);
    fields.workers = threadCount;
    fields.url = url;
    fields.targetPath = targetPath;
    fields.startTick = 0;
    fields.knowledge.Reset(fields.threadCount, fields.options.resplitRules);
    fields.wholeFile = JobFields::WholeFile::No;
    fields.ResetGiveUp();
    fields.knowledge.ExpectSizeProbe(threadCount > 1);
    joiner.Reset(targetPath, fields.threadCount, &fields);
    fields.ResetTargetComplete();
    limiter.reset();
    {
        std::lock_guard<std::mutex> lock(progressLock);
        receivedTotal = 0;
        fetchedTotal = 0;
        view = JobView{};
        view.threads.assign(threadCount > 0 ? threadCount : 0, ThreadBarView{});
    }
    {
        std::lock_guard<std::mutex> lock(finishLock);
        finishedCount = 0;
        allSucceeded = true;
        verdictGiven = false;
        if (threadCount < 1) {
            // Nothing to run, so no report would ever bring the verdict.
            PublishVerdict(false);
        }
    }
}

void DownloadJob::StopAllWorkers() {
    // Stop every worker first so that all threads wind down together, then collect them.
    if (limiter) limiter->Cancel();
    {
        std::lock_guard<std::mutex> guard(workersLock);
        stopping = true;
        for (auto& worker : workers) worker->RequestStop();
    }
    for (;;) {
        std::unique_ptr<WInternetWorker> worker;
        {
            std::lock_guard<std::mutex> guard(workersLock);
            if (workers.empty()) break;
            worker = std::move(workers.front());
            workers.erase(workers.begin());
        }
        // No lock while waiting: the worker may be starting the whole-file pass.
        worker->Stop();
    }
    targetLock.Release();
}

void DownloadJob::SetClosing() {
    closing = true;
}

bool DownloadJob::IsFinished() const {
    std::lock_guard<std::mutex> lock(finishLock);
    return verdictGiven;
}

bool DownloadJob::WaitFinished(int ms) const {
    std::unique_lock<std::mutex> lock(finishLock);
    if (ms < 0) {
        finishedChanged.wait(lock, [this] { return verdictGiven; });
        return true;
    }
    return finishedChanged.wait_for(lock, std::chrono::milliseconds(ms),
                                    [this] { return verdictGiven; });
}

JobView DownloadJob::Snapshot() const {
    std::lock_guard<std::mutex> lock(progressLock);
    JobView copy = view;
    copy.receivedTotal = receivedTotal;
    copy.fetchedTotal = fetchedTotal;
    copy.fileSize = fields.knowledge.Size();
    return copy;
}

std::vector<std::pair<int, std::string>> DownloadJob::TakeLogLines() {
    std::vector<std::pair<int, std::string>> taken;
    std::lock_guard<std::mutex> lock(logLock);
    taken.swap(logLines);
    return taken;
}

Settings DownloadJob::SettingsSnapshot() const {
    return settings.Snapshot();
}

void DownloadJob::LogLine(const std::string& text, int threadNumber) {
    if (threadNumber < 0 || closing) return;
    std::lock_guard<std::mutex> lock(logLock);
    logLines.emplace_back(threadNumber, text);
}

ThreadBarView* DownloadJob::Bar(int threadNumber) {
    if (threadNumber < 0 || threadNumber >= static_cast<int>(view.threads.size())) {
        return nullptr;
    }
    return &view.threads[threadNumber];
}

void DownloadJob::ReportProgress(int64_t done, int64_t total, int64_t delta, int threadNumber) {
    // Sessions report straight here only what they announce or take back, never a read.
    ApplyReport(done, total, delta, 0, threadNumber);
}

void DownloadJob::ApplyReport(int64_t done, int64_t total, int64_t delta, int64_t fetched,
                              int threadNumber) {
    if (closing) return;
    std::lock_guard<std::mutex> lock(progressLock);
    if (ThreadBarView* bar = Bar(threadNumber)) {
        bar->position = ThreadBarPosition(done, total);
        ThreadBarTooltip(done, total, bar->tooltip);
        bar->done = done;
        bar->total = total;
    }
    receivedTotal += delta;
    fetchedTotal += fetched;
    const int64_t fileSize = fields.knowledge.Size();
    const int64_t elapsed = ElapsedMs(fields.startTick.load(), TickCount());
    const unsigned percent = JobPercent(receivedTotal, fileSize);
    const int64_t speed = JobSpeed(receivedTotal, elapsed);
    view.position = JobBarPosition(percent);
    JobProgressText(receivedTotal, fileSize, percent, speed, view.text);
}

void DownloadJob::ReportChunks(int64_t done, int64_t total, int64_t delta, int64_t,
                               int threadNumber) {
    ApplyReport(done, total, delta, delta, threadNumber);
    // Outside every lock: only this worker waits. Announced resumed bytes never come here.
    if (limiter && !closing) limiter->Take(delta);
}

int64_t DownloadJob::ReadLimit() const {
    if (!limiter) return 0;
    // Each worker's share of the bucket: all of them together overshoot by one bucket at most.
    const int64_t share = limiter->Capacity() / std::max(1, fields.workers);
    return std::max<int64_t>(share, 4096);
}

void DownloadJob::RangeDone(int rangeId) {
    if (!closing) joiner.PartDone(rangeId, fields.knowledge.RangeSupport() > 0);
}

void DownloadJob::ThreadFinished(bool ok, int threadNumber, const Failure& failure) {
    // Before the count, so the last thread finds every earlier part appended or being
    // appended; outside the locks, since appending is long file work.
    // Its ranges went to the joiner as each completed; its own segment is named again for
    // callers that report only the end (a part counts once).
    if (ok && !closing) {
        // A thread past the part files' count began with no segment of its own.
        if (threadNumber < fields.threadCount) {
            joiner.PartDone(threadNumber, fields.knowledge.RangeSupport() > 0);
        }
    } else {
        joiner.Abandon();
    }
    bool last = false;
    bool allOk = false;
    {
        std::lock_guard<std::mutex> lock(finishLock);
        ++finishedCount;
        allSucceeded = allSucceeded && ok;
        {
            std::lock_guard<std::mutex> progress(progressLock);
            if (ThreadBarView* bar = Bar(threadNumber)) {
                bar->finished = true;
                if (!closing && !ok) {
                    bar->failed = true;
                    bar->tooltip = kFailedTooltip;
                    bar->failure = failure;
                }
            }
        }
        last = finishedCount == fields.workers;
        allOk = allSucceeded;
    }
    if (last && closing) {
        // No verdict, but the target goes back to segment 0 so the parts resume later.
        (void)joiner.Undo();
    } else if (last) {
        GiveVerdict(allOk);
    }
    if (observer != nullptr && !closing) observer->JobChanged();
}

void DownloadJob::GiveVerdict(bool ok) {
    using WholeFile = JobFields::WholeFile;
    // Ranged parts that cannot be trusted are never joined.
    if (fields.wholeFile.load() == WholeFile::Wanted) ok = false;
    if (ok) {
        const FileResult files =
            FinishJobFiles(fields.targetPath, fields.threadCount, settings.Snapshot().delfiles,
                           fields.knowledge.RangeSupport(), fields.knowledge.Size(), joiner);
        if (!files.ok && fields.wholeFile.load() == WholeFile::Wanted) {
            ok = false;  // a part did not fit: the whole-file pass below
        } else if (!files.ok) {
            ok = false;
            LogLine("Job failed: " + files.error + "; part files kept\r\n", 0);
            std::lock_guard<std::mutex> progress(progressLock);
            view.failure = {Failure::Kind::Other, files.error + "; part files kept", false};
        } else if (settings.Snapshot().delfiles) {
            for (const std::string& stray : StrayPartFiles(fields.targetPath, fields.threadCount)) {
                LogLine("Part file " + stray + " of a job with more threads was left as it is\r\n",
                        0);
            }
        }
    }
    if (!ok) {
        const std::string failure = joiner.Undo();
        if (!failure.empty())
            LogLine("Target file " + fields.targetPath + ": " + failure + "\r\n", 0);
        if (fields.wholeFile.load() == WholeFile::Wanted && StartWholeFilePass()) return;
    }
    std::lock_guard<std::mutex> lock(finishLock);
    PublishVerdict(ok);
}

bool DownloadJob::StartWholeFilePass() {
    std::unique_ptr<WInternetWorker> worker;
    bool started = false;
    {
        std::lock_guard<std::mutex> guard(workersLock);
        if (stopping || closing) return false;
        const std::string reason = joiner.SeamReason();
        if (!reason.empty()) LogLine("Job: " + reason + "\r\n", 0);
        LogLine("Job: the whole file is fetched again over one connection\r\n", 0);
        fields.knowledge.ForgetRangeSupport();
        fields.wholeFile = JobFields::WholeFile::Fetching;
        joiner.Reset(fields.targetPath, fields.threadCount, &fields);
        {
            std::lock_guard<std::mutex> lock(finishLock);
            // Only thread 0 runs now: its end is the last one.
            finishedCount = fields.workers - 1;
            allSucceeded = true;
        }
        {
            std::lock_guard<std::mutex> lock(progressLock);
            // The ranged bytes no longer count; the other bars end as those of a server
            // without ranges do.
            receivedTotal = 0;
            for (ThreadBarView& bar : view.threads) {
                bar.failed = false;
                if (bar.tooltip == kFailedTooltip) bar.tooltip = kConnectingTooltip;
            }
            if (!view.threads.empty()) view.threads[0] = ThreadBarView{};
        }
        worker = std::make_unique<WInternetWorker>();
        started = worker->Start(this, 0);
        workers.push_back(std::move(worker));
    }
    if (!started) {
        LogLine("Thread #0. could not be started\r\n", 0);
        ThreadFinished(false, 0);
    }
    return true;
}

void DownloadJob::PublishVerdict(bool ok) {
    // Read before progressLock: the fields take their own locks.
    std::string serverFileName = fields.knowledge.Disposition();
    const bool targetWasComplete = fields.WasTargetComplete();
    {
        std::lock_guard<std::mutex> lock(progressLock);
        view.serverFileName = std::move(serverFileName);
        view.targetWasComplete = targetWasComplete;
        view.text = VerdictText(ok, view.text);
        view.failed = !ok;
        view.succeeded = ok;
        view.finished = true;
    }
    // Joined and checked: the target is free for the next job.
    targetLock.Release();
    finishedCount = 0;
    allSucceeded = true;
    verdictGiven = true;
    finishedChanged.notify_all();
}
