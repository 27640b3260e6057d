#include "net/WLocks.h"

#include <chrono>

#include "net/WThread.h"

WBaseSemaphore::~WBaseSemaphore() = default;

WCriticalSection::WCriticalSection(bool timed) : timed_(timed) {}

WCriticalSection::~WCriticalSection() = default;

bool WCriticalSection::Lock(int milliseconds) {
    const std::thread::id me = std::this_thread::get_id();
    if (!timed_) {
        mutex_.lock();
        // We hold the lock now, so only this thread writes owner_ and depth_.
        owner_.store(me, std::memory_order_relaxed);
        ++depth_;
        return true;
    }
    std::unique_lock<std::mutex> lock(timedMutex_);
    const std::thread::id none;
    auto isFree = [&] { return owner_.load(std::memory_order_relaxed) == none; };
    if (owner_.load(std::memory_order_relaxed) != me) {
        if (milliseconds < 0) {
            timedFree_.wait(lock, isFree);
        } else if (!timedFree_.wait_for(lock, std::chrono::milliseconds(milliseconds), isFree)) {
            return false;
        }
        owner_.store(me, std::memory_order_relaxed);
    }
    ++depth_;
    return true;
}

bool WCriticalSection::Unlock() {
    const std::thread::id me = std::this_thread::get_id();
    if (!timed_) {
        // A thread that does not hold the lock reads some other id (or none), never its own.
        if (owner_.load(std::memory_order_relaxed) != me) return false;
        if (--depth_ == 0) owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
        return true;
    }
    std::lock_guard<std::mutex> lock(timedMutex_);
    if (owner_.load(std::memory_order_relaxed) != me) return false;
    if (--depth_ == 0) {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        timedFree_.notify_all();
    }
    return true;
}

WSemaphoreLock::WSemaphoreLock(WBaseSemaphore* semaphore) : semaphore_(semaphore) {
    if (semaphore_ != nullptr) semaphore_->Lock(-1);
}

WSemaphoreLock::~WSemaphoreLock() {
    Release();
}

bool WSemaphoreLock::Release() {
    if (semaphore_ == nullptr) return false;
    WBaseSemaphore* semaphore = semaphore_;
    semaphore_ = nullptr;
    return semaphore->Unlock();
}

WEventSemaphore::WEventSemaphore(const char* /*name*/, bool createReset, bool manualReset)
    : manualReset_(manualReset), isSet_(!createReset) {}

WEventSemaphore::~WEventSemaphore() = default;

bool WEventSemaphore::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    isSet_ = false;
    return true;
}

bool WEventSemaphore::Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    isSet_ = true;
    // Notified under the lock: a waiter may destroy the event as soon as it sees it set.
    // For an auto-reset event the first waiter to wake takes the signal; the others wait on.
    signalled_.notify_all();
    return true;
}

bool WEventSemaphore::WaitSlice(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto isSet = [&] { return isSet_; };
    if (milliseconds < 0) {
        signalled_.wait(lock, isSet);
    } else if (!signalled_.wait_for(lock, std::chrono::milliseconds(milliseconds), isSet)) {
        return false;
    }
    if (!manualReset_) isSet_ = false;
    return true;
}

bool WEventSemaphore::Wait(int milliseconds, bool noMessagePump) {
    if (noMessagePump || !WThread::HasMessagePump()) return WaitSlice(milliseconds);
    return WThread::PumpWhileWaiting(milliseconds, [this](int slice) { return WaitSlice(slice); });
}

bool WEventSemaphore::Lock(int milliseconds) {
    return WaitSlice(milliseconds);
}

bool WEventSemaphore::Unlock() {
    return Set();
}
