#pragma once
// TargetLock: an exclusive flock on a job's target file, held from the start of the job to its
// end, so that a second job (in this or another process) on the same target fails at once
// instead of interleaving its writes with ours. The lock lives on the target itself: no lock
// file appears next to it. A target that did not exist is created empty to carry the lock and
// removed again if it is still empty when the lock is released.
// Acquire on the job's owner thread; Release from any thread (it is serialised).
#include <mutex>
#include <string>

class TargetLock {
public:
    TargetLock() = default;
    ~TargetLock();
    TargetLock(const TargetLock&) = delete;
    TargetLock& operator=(const TargetLock&) = delete;

    // False, with the reason in `error`, only when another job holds the target, or one of
    // the job's part files (numbered 1..threadCount-1, or taken ranges) is another running
    // job's target, or the target is itself a part file of another running job. A target that
    // cannot be opened (a missing directory, no permission) or is not a regular file is not
    // locked, and the job goes on to report its own, clearer error.
    bool Acquire(const std::string& path, int threadCount, std::string& error);
    void Release();

private:
    std::mutex mutex;
    int fd = -1;
    bool created = false;
    std::string path;
};

// Whether a job (another one, or another lock of this process) holds the lock on this file
// now: a shared, non-blocking probe, so two probes never conflict and nothing is created.
bool HeldByAnotherJob(const std::string& path);
