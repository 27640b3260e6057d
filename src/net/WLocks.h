#pragma once
// Locks shared by the UI thread and the worker threads: the engine's socket-setup and
// per-attempt locks. Every operation may be called from any thread.
#include <atomic>
#include <mutex>
#include <thread>

// Recursive mutual exclusion: the holder may Lock again and must Unlock as often as it locked.
// Lock blocks until it gets the lock. Unlock by a thread that does not hold the lock returns
// false and changes nothing.
class WCriticalSection {
public:
    WCriticalSection() = default;
    WCriticalSection(const WCriticalSection&) = delete;
    WCriticalSection& operator=(const WCriticalSection&) = delete;

    bool Lock();
    bool Unlock();

private:
    // The owner is noted so a stray Unlock can be refused.
    std::recursive_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched by the owner only
};

// Holds a critical section for a scope: Lock on construction, Unlock on destruction. A null
// section is allowed and does nothing.
class WSemaphoreLock {
public:
    explicit WSemaphoreLock(WCriticalSection* section);
    ~WSemaphoreLock();
    WSemaphoreLock(const WSemaphoreLock&) = delete;
    WSemaphoreLock& operator=(const WSemaphoreLock&) = delete;

private:
    WCriticalSection* section_;
};
