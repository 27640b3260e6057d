#include "engine/WInternetWorker.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "engine/JobHost.h"
#include "engine/TextFormat.h"
#include "engine/WTransferSession.h"

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
    std::lock_guard<std::mutex> guard(sessionGuard);
    if (currentSession != nullptr) currentSession->Stop();
}

bool WInternetWorker::PauseUnlessStopped(int ms) {
    std::unique_lock<std::mutex> lock(pauseLock);
    pauseWake.wait_for(lock, std::chrono::milliseconds(ms),
                       [this] { return stopRequested.load(); });
    return !stopRequested;
}

void WInternetWorker::Stop() {
    RequestStop();
    thread.Wait(-1, false);
}

int WInternetWorker::Run(void*) {
    bool carry = false;
    bool ok = false;
    // Attempts that only found the part stale and emptied it are not counted (bounded).
    int staleRetries = 0;
    constexpr int kMaxStaleRetries = 2;
    bool clampLogged = false;
    int pauseMs = host->Fields().options.retryPauseMs;
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
        if (i >= attempts + staleRetries || stopRequested) break;
        if (host->Fields().RangesAbandoned(threadNumber)) {
            host->LogLine("The whole file is fetched over one connection: this range stops\r\n",
                          threadNumber);
            break;
        }
        // A failed attempt is followed by a growing pause: a refused port or a broken server
        // must not be hammered thousands of times a second.
        if (i > 0 && pauseMs > 0) {
            if (!PauseUnlessStopped(pauseMs)) break;
            pauseMs = std::min(pauseMs * 2, JobOptions::kMaxRetryPauseMs);
        }
        auto session = std::make_unique<WTransferSession>(*host, settings);
        session->partFileName = partFileName;
        session->threadNumber = threadNumber;
        session->attemptIndex = i;
        session->progressAnnounced = carry;
        {
            std::lock_guard<std::mutex> guard(sessionGuard);
            currentSession = session.get();
        }
        // A stop that came before the session was visible to RequestStop.
        if (stopRequested) session->Stop();
        ok = session->RunAttempt();
        carry = session->progressAnnounced;
        if (!ok && session->partFoundStale && staleRetries < kMaxStaleRetries) ++staleRetries;
        {
            // Deleted under the guard: RequestStop may be inside the session's Stop.
            std::lock_guard<std::mutex> guard(sessionGuard);
            currentSession = nullptr;
            session.reset();
        }
        host->LogLine(FormatText("Thread #%d. complited with %d\r\n", threadNumber, ok ? 1 : 0),
                      threadNumber);
        if (ok) break;
    }
    host->ThreadFinished(ok, threadNumber);
    return ok ? 1 : 0;
}
