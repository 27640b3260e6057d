#include "engine/WInternetWorker.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

#include "engine/JobHost.h"
#include "engine/LastPieceRace.h"
#include "engine/TextFormat.h"
#include "engine/WTransferSession.h"
#include "net/TickCount.h"

WInternetWorker::~WInternetWorker() = default;

bool WInternetWorker::Start(JobHost* host_, int threadNumber_) {
    if (host_ == nullptr) return false;
    partFileName = ::PartFileName(host_->Fields().targetPath, threadNumber_);
    threadNumber = threadNumber_;
    host = host_;
    return thread.Create(this, &WInternetWorker::Run, nullptr);
}

void WInternetWorker::RequestStop() {
    {
        std::lock_guard<std::mutex> guard(pauseLock);
        stopRequested = true;
    }
    pauseWake.notify_all();
    if (host != nullptr) host->Fields().knowledge.ranges.Wake();
    std::lock_guard<std::mutex> guard(sessionGuard);
    if (currentSession != nullptr) currentSession->Stop();
}

bool WInternetWorker::PauseUnlessStopped(int ms) {
    // In short steps: another thread's failure may end the job's attempts meanwhile, and
    // nothing wakes this one for it.
    constexpr int kStepMs = 50;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(pauseLock);
    for (int waited = 0; waited <= ms && !stopRequested; waited += kStepMs) {
        if (host->Fields().noMoreAttempts) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) break;
        pauseWake.wait_for(lock,
                           std::min<std::chrono::steady_clock::duration>(
                               end - now, std::chrono::milliseconds(kStepMs)),
                           [this] { return stopRequested.load(); });
    }
    return !stopRequested && !host->Fields().noMoreAttempts;
}

void WInternetWorker::Stop() {
    RequestStop();
    thread.Wait(-1, false);
}

int WInternetWorker::Run(void*) {
    JobFields& job = host->Fields();
    int rangeId = threadNumber;
    std::string part = partFileName;
    bool ok = false;
    // Past the part files' count a thread has no segment of its own: once the size is known it
    // takes one, or a share of one.
    bool ownSegment = threadNumber < job.threadCount;
    constexpr int kMaxRaces = 8;
    int racesLeft = kMaxRaces;
    if (!ownSegment) {
        WaitForPlan();
        ok = true;
        rangeId = -1;
    }
    for (;;) {
        if (ownSegment) ok = RunRange(rangeId, part);
        ownSegment = true;
        if (!ok) {
            job.knowledge.ranges.Drop(rangeId);
            break;
        }
        job.knowledge.ranges.Complete(rangeId, TickCount());
        host->RangeDone(rangeId);
        if (job.knowledge.RangeSupport() != 1 || job.wholeFile.load() != JobFields::WholeFile::No ||
            stopRequested) {
            break;
        }
        // Segments that no thread has begun come first, whatever the rules for sharing.
        std::optional<RangeInfo> taken = job.knowledge.ranges.TakeUnbegun(threadNumber);
        if (taken) {
            host->LogLine(
                FormatText("Takes segment #%d, bytes %lld-%lld, from %s\r\n", taken->id,
                           static_cast<long long>(taken->start),
                           static_cast<long long>(taken->end - 1), taken->partName.c_str()),
                threadNumber);
            rangeId = taken->id;
            part = taken->partName;
            continue;
        }
        // Kept parts stay whole segments: no range is taken from them.
        if (!job.options.resplit || !host->SettingsSnapshot().delfiles || job.workers < 2) {
            break;
        }
        // Done with its own work: a share of the range with the most time left, as soon as
        // one is worth it.
        taken = job.knowledge.ranges.Take(threadNumber, TickCount());
        // Woken at once when a range ends, so waiting never delays the job's end.
        while (!taken && !stopRequested && job.knowledge.ranges.WorthWaiting(threadNumber) &&
               job.wholeFile.load() == JobFields::WholeFile::No) {
            // Nothing worth splitting: a last piece far behind is raced instead (bounded).
            std::optional<RaceInfo> race;
            if (racesLeft > 0) race = job.knowledge.ranges.Race(threadNumber, TickCount());
            if (race) {
                --racesLeft;
                RunRace(*race);
            } else {
                job.knowledge.ranges.WaitForChange(job.options.resplitRules.pollMs, stopRequested);
            }
            if (stopRequested) break;
            taken = job.knowledge.ranges.Take(threadNumber, TickCount());
        }
        if (!taken) break;
        host->LogLine(
            FormatText("Takes bytes %lld-%lld of thread #%d's range into %s\r\n",
                       static_cast<long long>(taken->start), static_cast<long long>(taken->end - 1),
                       taken->takenFrom, taken->partName.c_str()),
            threadNumber);
        rangeId = taken->id;
        part = taken->partName;
    }
    // Whatever ended thread 0, no one waits for its first reply any more.
    if (threadNumber == 0) job.knowledge.EndSizeProbe();
    Failure failure = ok ? Failure{} : lastFailure;
    // Stopped by another thread's failure: that one is the reason.
    if (!ok && job.noMoreAttempts) {
        const Failure givenUp = job.GivenUpFor();
        if (!failure.permanent && givenUp.Known()) failure = givenUp;
    }
    host->ThreadFinished(ok, threadNumber, failure);
    return ok ? 1 : 0;
}

void WInternetWorker::RunRace(const RaceInfo& race) {
    JobFields& job = host->Fields();
    RaceTarget target = NewRaceTarget(race);
    host->LogLine(
        FormatText("Races thread #%d for bytes %lld-%lld: its connection is far behind\r\n",
                   race.ownerThread, static_cast<long long>(race.from),
                   static_cast<long long>(race.end - 1)),
        threadNumber);
    auto session = std::make_unique<WTransferSession>(*host, host->SettingsSnapshot());
    session->SetPartFile(TakenPartName(job.targetPath, race.from));
    session->SetThread(threadNumber, -1, 0);
    session->SetRace(&target);
    {
        std::lock_guard<std::mutex> guard(sessionGuard);
        currentSession = session.get();
    }
    if (stopRequested) session->Stop();
    const bool fetched = session->RunAttempt();
    {
        std::lock_guard<std::mutex> guard(sessionGuard);
        currentSession = nullptr;
        session.reset();
    }
    RangeInfo won;
    const RaceOutcome outcome =
        fetched ? CommitRace(*host, threadNumber, target, won) : RaceOutcome::Lost;
    if (!fetched) job.knowledge.ranges.LoseRace(race.ownerId);
    if (outcome == RaceOutcome::Lost) {
        host->LogLine(
            FormatText("Lost the race for bytes %lld-%lld to thread #%d: nothing kept\r\n",
                       static_cast<long long>(race.from), static_cast<long long>(race.end - 1),
                       race.ownerThread),
            threadNumber);
        return;
    }
    if (outcome == RaceOutcome::Failed) {
        Failure failure;
        failure.kind = Failure::Kind::LocalFile;
        failure.text = "cannot write " + won.partName;
        failure.permanent = true;
        job.GiveUp(failure);
        job.knowledge.ranges.Drop(won.id);
        return;
    }
    const int64_t size = won.end - won.start;
    host->LogLine(FormatText("Won the race: bytes %lld-%lld of thread #%d's range into %s\r\n",
                             static_cast<long long>(won.start), static_cast<long long>(won.end - 1),
                             race.ownerThread, won.partName.c_str()),
                  threadNumber);
    // Counted now, once: the loser's bytes never were.
    host->ReportChunks(size, size, size, size, threadNumber);
    job.knowledge.ranges.Complete(won.id, TickCount());
    host->RangeDone(won.id);
}

void WInternetWorker::WaitForPlan() {
    JobFields& job = host->Fields();
    // Bounded, and over once thread 0's first reply has come without a size.
    for (int i = 0; i < 240 && !stopRequested && !job.knowledge.ranges.Planned(); ++i) {
        if (i > 0 && !job.knowledge.SizeProbePending() && job.knowledge.Size() == -1) break;
        job.knowledge.ranges.WaitForChange(250, stopRequested);
    }
}

bool WInternetWorker::RunRange(int rangeId, const std::string& part) {
    bool carry = false;
    bool ok = false;
    // Attempts that only found the part stale and emptied it are not counted (bounded).
    int staleRetries = 0;
    constexpr int kMaxStaleRetries = 2;
    // Nor are attempts whose stalled connection a cut closed (bounded too).
    int cutRetries = 0;
    constexpr int kMaxCutRetries = 8;
    bool clampLogged = false;
    int pauseMs = host->Fields().options.retryPauseMs;
    bool lastCutWoken = false;
    for (int i = 0;; ++i) {
        // A fresh copy per attempt, so an edit made meanwhile applies to the next one.
        Settings settings = host->SettingsSnapshot();
        int attempts = settings.attempts;
        if (attempts > kMaxAttempts) {
            if (!clampLogged) {
                host->LogLine(FormatText("attempts=%d is more than %d: making %d at most\r\n",
                                         attempts, kMaxAttempts, kMaxAttempts),
                              threadNumber);
                clampLogged = true;
            }
            attempts = kMaxAttempts;
        }
        if (i >= attempts + staleRetries + cutRetries || stopRequested) break;
        if (host->Fields().noMoreAttempts) break;
        if (host->Fields().RangesAbandoned(threadNumber)) {
            host->LogLine("The whole file is fetched over one connection: this range stops\r\n",
                          threadNumber);
            break;
        }
        // A failed attempt is followed by a growing pause: a refused port or a broken server
        // must not be hammered thousands of times a second.
        // A server that says when to come back (Retry-After) is asked no earlier.
        const int waitMs = RetryPauseMs(pauseMs, lastFailure);
        if (i > 0 && waitMs > 0 && !lastCutWoken) {
            if (!PauseUnlessStopped(waitMs)) break;
            pauseMs = std::min(pauseMs * 2, JobOptions::kMaxRetryPauseMs);
        }
        auto session = std::make_unique<WTransferSession>(*host, settings);
        session->SetPartFile(part);
        session->SetThread(threadNumber, rangeId, i);
        session->SetProgressAnnounced(carry);
        {
            std::lock_guard<std::mutex> guard(sessionGuard);
            currentSession = session.get();
        }
        // A stop that came before the session was visible to RequestStop.
        if (stopRequested) session->Stop();
        ok = session->RunAttempt();
        if (ok) {
            lastFailure = {};
        } else if (session->LastFailure().Known()) {
            lastFailure = session->LastFailure();
            // No retry can mend it: every thread of the job stops its attempts, and those
            // waiting for thread 0's answer find that out when it ends.
            if (lastFailure.permanent) host->Fields().GiveUp(lastFailure);
        }
        if (threadNumber == 0) host->Fields().knowledge.EndSizeProbe();
        carry = session->ProgressAnnounced();
        if (!ok && session->PartFoundStale() && staleRetries < kMaxStaleRetries) ++staleRetries;
        const RangeTable::Woken woken =
            ok ? RangeTable::Woken::No : host->Fields().knowledge.ranges.TakeWoken(rangeId);
        const bool cutWoken = woken != RangeTable::Woken::No;
        if (cutWoken && cutRetries < kMaxCutRetries) ++cutRetries;
        {
            // Deleted under the guard: RequestStop may be inside the session's Stop.
            std::lock_guard<std::mutex> guard(sessionGuard);
            currentSession = nullptr;
            session.reset();
        }
        host->LogLine(FormatText("Thread #%d. complited with %d\r\n", threadNumber, ok ? 1 : 0),
                      threadNumber);
        if (ok) break;
        if (cutWoken) {
            host->LogLine(
                FormatText(
                    "The connection %s: the rest of the range, up to byte %lld, "
                    "is fetched on a new one\r\n",
                    woken == RangeTable::Woken::Slow ? "was far slower than the others"
                                                     : "had stalled",
                    static_cast<long long>(host->Fields().knowledge.ranges.Get(rangeId).end - 1)),
                threadNumber);
        }
        lastCutWoken = cutWoken;
    }
    return ok;
}
