#include "engine/WInternetWorker.h"

#include <memory>

#include "engine/JobHost.h"
#include "engine/TextFormat.h"
#include "engine/WTransferSession.h"

WInternetWorker::~WInternetWorker() = default;

bool WInternetWorker::Start(JobHost* host_, int threadNumber_) {
    if (host_ == nullptr) return false;
    const std::string& target = host_->Fields().targetPath;
    partFileName = threadNumber_ < 1 ? target : FormatText("%s%d", target.c_str(), threadNumber_);
    threadNumber = threadNumber_;
    host = host_;
    return thread.Create(this, &WInternetWorker::Run, nullptr);
}

void WInternetWorker::RequestStop() {
    stopRequested = true;
    std::lock_guard<std::mutex> guard(sessionGuard);
    if (currentSession != nullptr) currentSession->Stop();
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
    for (int i = 0;; ++i) {
        // A fresh copy per attempt, so an edit made meanwhile applies to the next one.
        Settings settings = host->SettingsSnapshot();
        if (i >= settings.attempts + staleRetries || stopRequested) break;
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
