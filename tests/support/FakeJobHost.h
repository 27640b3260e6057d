#pragma once
// FakeJobHost: a JobHost for engine tests. Holds the job fields and a settings record, and
// records every report the workers make (log texts per thread in order, progress reports,
// ThreadFinished calls). Every member may be called from any thread. Its job's socket limits
// are 5 s (Fields().options) unless a test sets others.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/JobHost.h"
#include "settings/Settings.h"

namespace testsupport {

struct ProgressReport {
    int64_t done = 0;
    int64_t total = 0;
    int64_t delta = 0;
    int threadNumber = 0;
};

struct FinishedCall {
    bool ok = false;
    int threadNumber = 0;
    Failure failure;
};

class FakeJobHost : public JobHost {
public:
    FakeJobHost(const Settings& settings, const std::string& url, const std::string& targetPath,
                int threadCount);

    // ---- JobHost ----
    JobFields& Fields() override { return fields; }
    Settings SettingsSnapshot() const override;
    void LogLine(const std::string& text, int threadNumber) override;
    void ReportProgress(int64_t done, int64_t total, int64_t delta, int threadNumber) override;
    void ThreadFinished(bool ok, int threadNumber, const Failure& failure = {}) override;

    // Replaces the settings that later snapshots return.
    void SetSettings(const Settings& settings);

    // Every log text of one thread, in the order it arrived.
    std::vector<std::string> LogLines(int threadNumber) const;
    // The same texts joined into one string.
    std::string LogText(int threadNumber) const;
    // Progress reports of one thread (all threads when threadNumber < 0), in arrival order.
    std::vector<ProgressReport> Progress(int threadNumber = -1) const;
    // Sum of the deltas one thread reported.
    int64_t DeltaSum(int threadNumber) const;
    // ThreadFinished calls in arrival order.
    std::vector<FinishedCall> Finished() const;
    // The kernel thread id of the worker that logged for one thread (0 before its first line),
    // for testsupport::WaitUntilBlocked.
    int WorkerTid(int threadNumber) const;
    // How many ThreadFinished calls came for one thread.
    int FinishedCount(int threadNumber) const;
    // Waits until at least `count` ThreadFinished calls have come, at most ms milliseconds.
    bool WaitFinished(int count, int ms) const;

private:
    JobFields fields;
    mutable std::mutex lock;
    mutable std::condition_variable finishedChanged;
    Settings settings;
    std::map<int, std::vector<std::string>> logs;
    std::map<int, int> tids;
    std::vector<ProgressReport> progress;
    std::vector<FinishedCall> finished;
};

}  // namespace testsupport
