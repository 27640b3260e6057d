#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "net/WLocks.h"
#include "support/Blocked.h"

namespace {

using testsupport::BlockedIn;

TEST(WCriticalSection, RecursiveHolderMustUnlockAsOftenAsItLocked) {
    WCriticalSection section;
    ASSERT_TRUE(section.Lock());
    ASSERT_TRUE(section.Lock());  // the holder enters again without blocking

    std::atomic<int> otherTid{0};
    std::atomic<bool> entered{false};
    std::thread other([&] {
        otherTid = testsupport::CurrentTid();
        section.Lock();
        entered = true;
        section.Unlock();
    });
    while (otherTid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(testsupport::WaitUntilBlocked(otherTid, BlockedIn::Lock));
    EXPECT_FALSE(entered.load());
    ASSERT_TRUE(section.Unlock());
    // Still held once: the other thread stays where it was.
    EXPECT_TRUE(testsupport::WaitUntilBlocked(otherTid, BlockedIn::Lock));
    EXPECT_FALSE(entered.load());
    ASSERT_TRUE(section.Unlock());
    other.join();
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

TEST(WSemaphoreLock, ScopeEndUnlocks) {
    WCriticalSection section;
    { WSemaphoreLock lock(&section); }
    EXPECT_FALSE(section.Unlock());  // unlocked exactly once
    bool got = false;
    std::thread other([&] {
        got = section.Lock();
        section.Unlock();
    });
    other.join();
    EXPECT_TRUE(got);
    WSemaphoreLock none(nullptr);
}

}  // namespace
