#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "net/WLocks.h"
#include "net/WThread.h"

namespace {

constexpr int kLongMs = 10000;

void Pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
}

TEST(WCriticalSection, RecursiveHolderMustUnlockAsOftenAsItLocked) {
    WCriticalSection section;
    ASSERT_TRUE(section.Lock(-1));
    ASSERT_TRUE(section.Lock(-1));  // the holder enters again without blocking

    std::atomic<bool> entered{false};
    WThread other;
    ASSERT_TRUE(other.Create([&] {
        section.Lock(-1);
        entered = true;
        section.Unlock();
        return 0;
    }));
    Pause();
    EXPECT_FALSE(entered.load());
    ASSERT_TRUE(section.Unlock());
    Pause();
    EXPECT_FALSE(entered.load());  // still held once
    ASSERT_TRUE(section.Unlock());
    ASSERT_TRUE(other.Wait(kLongMs, true));
    EXPECT_TRUE(entered.load());
}

TEST(WCriticalSection, UnlockWithoutHoldingIsRefused) {
    WCriticalSection section;
    EXPECT_FALSE(section.Unlock());
    ASSERT_TRUE(section.Lock());
    bool otherUnlocked = true;
    std::thread other([&] { otherUnlocked = section.Unlock(); });
    other.join();
    EXPECT_FALSE(otherUnlocked);
    EXPECT_TRUE(section.Unlock());
    EXPECT_FALSE(section.Unlock());
}

TEST(WCriticalSection, UntimedLockIgnoresItsTime) {
    WCriticalSection section;
    ASSERT_TRUE(section.Lock());
    std::atomic<bool> got{false};
    std::thread other([&] {
        got = section.Lock(1);  // blocks past the 1 ms until the holder leaves
        section.Unlock();
    });
    Pause();
    EXPECT_FALSE(got.load());
    section.Unlock();
    other.join();
    EXPECT_TRUE(got.load());
}

TEST(WCriticalSection, TimedLockGivesUp) {
    WCriticalSection section(true);
    ASSERT_TRUE(section.Lock(-1));
    ASSERT_TRUE(section.Lock(0));  // recursive in the timed form too
    bool got = true;
    std::thread other([&] { got = section.Lock(30); });
    other.join();
    EXPECT_FALSE(got);
    section.Unlock();
    section.Unlock();
    std::thread later([&] {
        got = section.Lock(kLongMs);
        section.Unlock();
    });
    later.join();
    EXPECT_TRUE(got);
}

// Plain counters under the lock: a lost update, or TSan, shows a hole in the exclusion.
TEST(WSemaphoreLock, ExcludesAcrossThreads) {
    WCriticalSection section;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                WSemaphoreLock lock(&section);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
}

TEST(WSemaphoreLock, ReleaseUnlocksOnceAndEarly) {
    WCriticalSection section;
    {
        WSemaphoreLock lock(&section);
        EXPECT_TRUE(lock.Release());
        EXPECT_FALSE(lock.Release());
        EXPECT_FALSE(section.Unlock());  // not held any more: the destructor must not unlock
    }
    { WSemaphoreLock lock(&section); }
    bool got = false;
    WCriticalSection timed(true);
    { WSemaphoreLock lock(&timed); }
    std::thread other([&] {
        got = timed.Lock(kLongMs);
        timed.Unlock();
    });
    other.join();
    EXPECT_TRUE(got);  // the scope's end let go of the lock
    WSemaphoreLock none(nullptr);
    EXPECT_FALSE(none.Release());
}

TEST(WEventSemaphore, InitialState) {
    WEventSemaphore signalled(nullptr, false, true);
    EXPECT_TRUE(signalled.Wait(0, true));
    WEventSemaphore named("ignored-name", true, true);
    EXPECT_FALSE(named.Wait(0, true));
}

TEST(WEventSemaphore, ManualResetStaysSignalledUntilReset) {
    WEventSemaphore event(nullptr, true, true);
    EXPECT_FALSE(event.Wait(10, true));
    ASSERT_TRUE(event.Set());
    EXPECT_TRUE(event.Wait(0, true));
    EXPECT_TRUE(event.Wait(0, true));
    EXPECT_TRUE(event.Lock(0));
    ASSERT_TRUE(event.Reset());
    EXPECT_FALSE(event.Wait(10, true));
}

TEST(WEventSemaphore, ManualResetReleasesEveryWaiter) {
    WEventSemaphore event(nullptr, true, true);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(kLongMs, true)) ++woken;
        });
    }
    event.Set();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woken.load(), 3);
}

TEST(WEventSemaphore, AutoResetReleasesOneWaiterPerSet) {
    WEventSemaphore event(nullptr, true, false);
    ASSERT_TRUE(event.Set());
    EXPECT_TRUE(event.Wait(0, true));
    EXPECT_FALSE(event.Wait(10, true));  // the first wait consumed the signal

    WEventSemaphore done(nullptr, true, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(kLongMs, true)) ++woken;
            done.Set();
        });
    }
    event.Set();
    ASSERT_TRUE(done.Wait(kLongMs, true));
    Pause();
    EXPECT_EQ(woken.load(), 1);
    event.Unlock();  // Unlock signals too
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(WEventSemaphore, WaitPumpsUntilThePumpSetsTheEvent) {
    WEventSemaphore event(nullptr, true, true);
    int pumped = 0;
    WThread::SetMessagePump([&] {
        if (++pumped == 3) event.Set();
    });
    const bool signalled = event.Wait(kLongMs, false);
    WThread::SetMessagePump(nullptr);
    EXPECT_TRUE(signalled);
    EXPECT_EQ(pumped, 3);
    // Bounded when nothing comes, pumping meanwhile.
    event.Reset();
    WThread::SetMessagePump([&] { ++pumped; });
    const bool late = event.Wait(40, false);
    WThread::SetMessagePump(nullptr);
    EXPECT_FALSE(late);
    EXPECT_GT(pumped, 3);
}

}  // namespace
