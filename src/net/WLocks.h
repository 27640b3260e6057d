#pragma once
// Locks and events shared by the UI thread and the worker threads: the engine's socket-setup
// and per-transfer locks, the job's reporting locks, and wake-up events. Every operation may
// be called from any thread.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// Something that can be locked and unlocked, for WSemaphoreLock.
class WBaseSemaphore {
  public:
    WBaseSemaphore() = default;
    WBaseSemaphore(const WBaseSemaphore&) = delete;
    WBaseSemaphore& operator=(const WBaseSemaphore&) = delete;
    virtual ~WBaseSemaphore();

    virtual bool Lock(int milliseconds = -1) = 0;
    virtual bool Unlock() = 0;
};

// Recursive mutual exclusion: the holder may Lock again and must Unlock as often as it locked.
// Untimed (the default), Lock ignores its time and blocks until it gets the lock; timed, Lock
// gives up after milliseconds (-1: no limit) and returns false. Unlock by a thread that does
// not hold the lock returns false and changes nothing.
class WCriticalSection : public WBaseSemaphore {
  public:
    explicit WCriticalSection(bool timed = false);
    ~WCriticalSection() override;

    bool Lock(int milliseconds = -1) override;
    bool Unlock() override;

  private:
    const bool timed_;
    // Untimed: a recursive mutex, with the owner noted so a stray Unlock can be refused.
    std::recursive_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched by the owner only
    // Timed: owner and depth guarded by a plain mutex, waited for on a condition variable.
    // (std::recursive_timed_mutex's timed lock is invisible to ThreadSanitizer.)
    std::mutex timedMutex_;
    std::condition_variable timedFree_;
};

// Holds a semaphore's lock for a scope: Lock(-1) on construction, Unlock on destruction
// unless Release came first. A null semaphore is allowed and does nothing.
class WSemaphoreLock {
  public:
    explicit WSemaphoreLock(WBaseSemaphore* semaphore);
    ~WSemaphoreLock();
    WSemaphoreLock(const WSemaphoreLock&) = delete;
    WSemaphoreLock& operator=(const WSemaphoreLock&) = delete;

    // Unlocks early and forgets the semaphore; false when there is none (any more).
    bool Release();

  private:
    WBaseSemaphore* semaphore_;
};

// An event: signalled or not. A manual-reset event stays signalled until Reset and releases
// every waiter; an auto-reset event releases one waiter and turns non-signalled again.
// The name is accepted for compatibility and ignored: events here are process-local.
class WEventSemaphore : public WBaseSemaphore {
  public:
    WEventSemaphore(const char* name, bool createReset, bool manualReset);
    ~WEventSemaphore() override;

    bool Reset();
    bool Set();
    // Waits for the event, at most milliseconds (-1: no limit); true when it was signalled.
    // With noMessagePump false and a pump installed (WThread::SetMessagePump), the pump runs
    // on the calling thread while it waits.
    bool Wait(int milliseconds, bool noMessagePump);

    bool Lock(int milliseconds = -1) override;  // Wait without pumping
    bool Unlock() override;                     // Set

  private:
    bool WaitSlice(int milliseconds);

    const bool manualReset_;
    std::mutex mutex_;
    std::condition_variable signalled_;
    bool isSet_;
};
