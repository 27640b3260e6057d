#include "support/FakeJobHost.h"

#include <chrono>

#include "support/Blocked.h"

namespace testsupport {

FakeJobHost::FakeJobHost(const Settings& settings_, const std::string& url,
                         const std::string& targetPath, int threadCount)
    : settings(settings_) {
    fields.url = url;
    fields.targetPath = targetPath;
    fields.threadCount = threadCount;
    fields.workers = threadCount;
    // Short limits, so a test that goes wrong ends in a failed attempt instead of a hang.
    // Engine tests count attempts, not pauses; the pause has tests of its own.
    fields.options = JobOptions{5000, 5000, 0};
}

Settings FakeJobHost::SettingsSnapshot() const {
    std::lock_guard<std::mutex> guard(lock);
    return settings;
}

void FakeJobHost::SetSettings(const Settings& settings_) {
    std::lock_guard<std::mutex> guard(lock);
    settings = settings_;
}

void FakeJobHost::LogLine(const std::string& text, int threadNumber) {
    std::lock_guard<std::mutex> guard(lock);
    logs[threadNumber].push_back(text);
    tids[threadNumber] = CurrentTid();
}

int FakeJobHost::WorkerTid(int threadNumber) const {
    std::lock_guard<std::mutex> guard(lock);
    auto it = tids.find(threadNumber);
    return it == tids.end() ? 0 : it->second;
}

void FakeJobHost::ReportProgress(int64_t done, int64_t total, int64_t delta, int threadNumber) {
    std::lock_guard<std::mutex> guard(lock);
    progress.push_back({done, total, delta, threadNumber});
}

void FakeJobHost::ThreadFinished(bool ok, int threadNumber, const Failure& failure) {
    {
        std::lock_guard<std::mutex> guard(lock);
        finished.push_back({ok, threadNumber, failure});
    }
    finishedChanged.notify_all();
}

std::vector<std::string> FakeJobHost::LogLines(int threadNumber) const {
    std::lock_guard<std::mutex> guard(lock);
    auto it = logs.find(threadNumber);
    return it == logs.end() ? std::vector<std::string>{} : it->second;
}

std::string FakeJobHost::LogText(int threadNumber) const {
    std::string all;
    for (const std::string& line : LogLines(threadNumber)) all += line;
    return all;
}

std::vector<ProgressReport> FakeJobHost::Progress(int threadNumber) const {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<ProgressReport> out;
    for (const ProgressReport& p : progress) {
        if (threadNumber < 0 || p.threadNumber == threadNumber) out.push_back(p);
    }
    return out;
}

int64_t FakeJobHost::DeltaSum(int threadNumber) const {
    int64_t sum = 0;
    for (const ProgressReport& p : Progress(threadNumber)) sum += p.delta;
    return sum;
}

std::vector<FinishedCall> FakeJobHost::Finished() const {
    std::lock_guard<std::mutex> guard(lock);
    return finished;
}

int FakeJobHost::FinishedCount(int threadNumber) const {
    std::lock_guard<std::mutex> guard(lock);
    int n = 0;
    for (const FinishedCall& f : finished) n += f.threadNumber == threadNumber ? 1 : 0;
    return n;
}

bool FakeJobHost::WaitFinished(int count, int ms) const {
    std::unique_lock<std::mutex> guard(lock);
    return finishedChanged.wait_for(guard, std::chrono::milliseconds(ms),
                                    [&] { return static_cast<int>(finished.size()) >= count; });
}

}  // namespace testsupport
