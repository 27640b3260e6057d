#pragma once
// WInternetWorker: one per thread of a job. Owns the OS thread that runs the attempts loop for
// one segment, each attempt carried out by a fresh WTransferSession.
// Start, Stop and RequestStop are called by the job's owner thread (the UI thread or
// brindle-get's main thread); Run runs on the worker's own thread.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "engine/Failure.h"
#include "engine/RangeTable.h"
#include "net/WThread.h"

class JobHost;
class WTransferSession;

class WInternetWorker {
public:
    WInternetWorker() = default;
    // Does not wait for the thread: the owner calls Stop first.
    virtual ~WInternetWorker();
    WInternetWorker(const WInternetWorker&) = delete;
    WInternetWorker& operator=(const WInternetWorker&) = delete;

    // Sets the part file name, stores the host and number and starts the thread. Returns
    // whether the thread was created; when it was not, nothing will be reported for it.
    bool Start(JobHost* host, int threadNumber);
    // Sets stopRequested and stops the current session, without waiting (so that all workers
    // of a job can wind down together).
    void RequestStop();
    // RequestStop, then waits for the thread to end (running the message pump meanwhile).
    void Stop();
    // Attempt counts above this are cut to it (with a log line): with the pauses between
    // attempts, more would retry for days.
    static constexpr int kMaxAttempts = 1000;
    // The thread body: the attempts loop, then ThreadFinished.
    int Run(void* unused);

    int ThreadNumber() const { return threadNumber; }
    const std::string& PartFileName() const { return partFileName; }
    bool IsRunning() const { return thread.IsRunning(); }

private:
    // The attempts loop for one range (the thread's own segment or one it took); whether the
    // range is complete.
    bool RunRange(int rangeId, const std::string& part);
    // A thread without a segment of its own: waits until the ranges are planned (or it is
    // clear that no size comes, or stop).
    void WaitForPlan();
    // Races the owner of a range far behind for its last piece (one attempt, never counted
    // against this thread: whatever happens, the owner still has its range).
    void RunRace(const RaceInfo& race);
    // Waits ms or until a stop or until the job gives up; false when stopped.
    bool PauseUnlessStopped(int ms);

    JobHost* host = nullptr;
    int threadNumber = 0;
    std::string partFileName;
    WThread thread;
    std::atomic<bool> stopRequested{false};
    // Why the last failed attempt failed (worker thread only).
    Failure lastFailure;
    // The pause between failed attempts waits on this, so a stop ends it at once.
    std::mutex pauseLock;
    std::condition_variable pauseWake;
    // Guards currentSession: RequestStop calls the session's Stop under it, and Run deletes the
    // session under it, so a session is never deleted while another thread stops it.
    std::mutex sessionGuard;
    WTransferSession* currentSession = nullptr;
};
