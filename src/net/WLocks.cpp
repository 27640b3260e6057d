#include "net/WLocks.h"

bool WCriticalSection::Lock() {
    mutex_.lock();
    // We hold the lock now, so only this thread writes owner_ and depth_.
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ++depth_;
    return true;
}

bool WCriticalSection::Unlock() {
    // A thread that does not hold the lock reads some other id (or none), never its own.
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return false;
    if (--depth_ == 0) owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
    return true;
}

WSemaphoreLock::WSemaphoreLock(WCriticalSection* section) : section_(section) {
    if (section_ != nullptr) section_->Lock();
}

WSemaphoreLock::~WSemaphoreLock() {
    if (section_ != nullptr) section_->Unlock();
}
