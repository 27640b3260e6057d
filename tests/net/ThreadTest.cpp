#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "net/WLocks.h"
#include "net/WThread.h"

namespace {

constexpr int kLongMs = 10000;  // bound for waits that must succeed; never reached when correct

// A worker-like target: Run blocks until released, then returns the parameter's value.
class Target {
  public:
    WEventSemaphore release{nullptr, true, true};
    std::atomic<int> calls{0};

    int Run(void* parameter) {
        ++calls;
        release.Wait(kLongMs, true);
        return *static_cast<int*>(parameter);
    }
};

// Removes any message pump a test installed, even when the test fails half-way.
class PumpGuard {
  public:
    ~PumpGuard() { WThread::SetMessagePump(nullptr); }
};

TEST(WThread, RunsMemberFunctionAndKeepsItsResult) {
    Target target;
    int value = 42;
    WThread thread;
    ASSERT_TRUE(thread.Create(&target, &Target::Run, &value));
    // Running from Create's return: the function cannot have returned, it waits for release.
    EXPECT_TRUE(thread.IsRunning());
    int code = -1;
    EXPECT_FALSE(thread.GetExitCode(code));
    EXPECT_FALSE(thread.Wait(30, true));  // still blocked: the wait times out
    target.release.Set();
    ASSERT_TRUE(thread.Wait(kLongMs, true));
    EXPECT_FALSE(thread.IsRunning());
    ASSERT_TRUE(thread.GetExitCode(code));
    EXPECT_EQ(code, 42);
    EXPECT_EQ(target.calls.load(), 1);
    // An ended thread is still referred to: Wait is true at once, again and again.
    EXPECT_TRUE(thread.Wait(0, true));
    EXPECT_TRUE(thread.Wait(-1, false));
}

TEST(WThread, NoThreadMeansFalseAtOnce) {
    WThread thread;
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.Wait(-1, true));  // would hang if it waited
    EXPECT_FALSE(thread.Wait(-1, false));
    EXPECT_FALSE(thread.Resume());
    EXPECT_FALSE(thread.Create(std::function<int()>()));
    EXPECT_FALSE(thread.IsRunning());
}

TEST(WThread, CreateWithoutTargetOrFunctionDropsThePreviousThread) {
    Target target;
    int value = 1;
    WThread thread;
    ASSERT_TRUE(thread.Create(&target, &Target::Run, &value));
    WThread earlier = thread;  // keeps a handle on the first thread
    EXPECT_FALSE(thread.Create<Target>(nullptr, &Target::Run, &value));
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.Wait(-1, true));
    ASSERT_TRUE(thread.Create(&target, &Target::Run, &value));
    WThread second = thread;
    EXPECT_FALSE(thread.Create(&target, static_cast<int (Target::*)(void*)>(nullptr), &value));
    EXPECT_FALSE(thread.Wait(-1, true));
    // Neither dropped thread was stopped.
    EXPECT_TRUE(earlier.IsRunning());
    EXPECT_TRUE(second.IsRunning());
    target.release.Set();
    EXPECT_TRUE(earlier.Wait(kLongMs, true));
    EXPECT_TRUE(second.Wait(kLongMs, true));
}

TEST(WThread, CreateTwiceLeavesTheFirstThreadRunning) {
    Target first, second;
    int one = 1, two = 2;
    WThread thread;
    ASSERT_TRUE(thread.Create(&first, &Target::Run, &one));
    WThread firstHandle = thread;
    ASSERT_TRUE(thread.Create(&second, &Target::Run, &two));

    first.release.Set();
    ASSERT_TRUE(firstHandle.Wait(kLongMs, true));
    EXPECT_TRUE(thread.IsRunning());  // the handle now refers to the second thread
    second.release.Set();
    ASSERT_TRUE(thread.Wait(kLongMs, true));
    int code = 0;
    ASSERT_TRUE(firstHandle.GetExitCode(code));
    EXPECT_EQ(code, 1);
    ASSERT_TRUE(thread.GetExitCode(code));
    EXPECT_EQ(code, 2);
}

TEST(WThread, CopiesShareOneThread) {
    Target target;
    int value = 5;
    WThread original;
    ASSERT_TRUE(original.Create(&target, &Target::Run, &value));
    WThread copy(original);
    WThread assigned;
    assigned = copy;
    EXPECT_TRUE(assigned.IsRunning());
    target.release.Set();
    ASSERT_TRUE(copy.Wait(kLongMs, true));
    EXPECT_FALSE(original.IsRunning());
    EXPECT_TRUE(assigned.Wait(0, true));
    EXPECT_EQ(target.calls.load(), 1);
}

TEST(WThread, DestroyingTheLastHandleLeavesTheThreadRunning) {
    WEventSemaphore release(nullptr, true, true);
    WEventSemaphore finished(nullptr, true, true);
    {
        WThread thread;
        ASSERT_TRUE(thread.Create([&] {
            release.Wait(kLongMs, true);
            finished.Set();
            return 0;
        }));
    }
    release.Set();
    EXPECT_TRUE(finished.Wait(kLongMs, true));
}

TEST(WThread, StartSuspendedWaitsForResume) {
    Target target;
    target.release.Set();
    int value = 9;
    WThread thread;
    ASSERT_TRUE(thread.Create(&target, &Target::Run, &value, true));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.Wait(30, true));
    EXPECT_EQ(target.calls.load(), 0);
    EXPECT_TRUE(thread.Resume());
    ASSERT_TRUE(thread.Wait(kLongMs, true));
    EXPECT_EQ(target.calls.load(), 1);
    EXPECT_FALSE(thread.Resume());
}

TEST(WThread, HonoursTheStackSize) {
    const unsigned requested = 1000000;  // not a multiple of 4096
    WThread thread;
    size_t actual = 0;
    ASSERT_TRUE(thread.Create(
        [&] {
            pthread_attr_t attr;
            if (pthread_getattr_np(pthread_self(), &attr) == 0) {
                pthread_attr_getstacksize(&attr, &actual);
                pthread_attr_destroy(&attr);
            }
            return 0;
        },
        false, requested));
    ASSERT_TRUE(thread.Wait(kLongMs, true));
    EXPECT_GE(actual, 1003520u);  // rounded up to whole 4096-byte pages
}

TEST(WThread, ManyThreadsCreatedAtOnce) {
    std::atomic<int> ran{0};
    std::vector<WThread> threads(16);
    std::vector<std::thread> creators;
    for (int c = 0; c < 4; ++c) {
        creators.emplace_back([&, c] {
            for (int i = c; i < 16; i += 4) {
                threads[i].Create([&ran, i] {
                    ++ran;
                    return i;
                });
            }
        });
    }
    for (auto& creator : creators) creator.join();
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(threads[i].Wait(kLongMs, true));
        int code = -1;
        ASSERT_TRUE(threads[i].GetExitCode(code));
        EXPECT_EQ(code, i);
    }
    EXPECT_EQ(ran.load(), 16);
}

TEST(WThread, WaitRunsThePumpOnTheWaitingThread) {
    PumpGuard guard;
    std::atomic<int> pumped{0};
    std::atomic<bool> otherThread{false};
    const std::thread::id waiter = std::this_thread::get_id();
    WThread::SetMessagePump([&] {
        if (std::this_thread::get_id() != waiter) otherThread = true;
        ++pumped;
    });
    WEventSemaphore release(nullptr, true, true);
    WThread thread;
    ASSERT_TRUE(thread.Create([&] {
        release.Wait(kLongMs, true);
        return 0;
    }));
    // Bounded: gives up after the time, having pumped meanwhile.
    EXPECT_FALSE(thread.Wait(80, false));
    EXPECT_GT(pumped.load(), 0);
    // A plain wait never pumps.
    const int before = pumped.load();
    EXPECT_FALSE(thread.Wait(30, true));
    EXPECT_EQ(pumped.load(), before);
    release.Set();
    EXPECT_TRUE(thread.Wait(-1, false));
    EXPECT_FALSE(otherThread.load());
}

// A worker whose report must be handled on the waiting thread before it can end: a wait that
// pumps lets it finish, which is how the window waits for a worker in the middle of a report.
TEST(WThread, PumpingWaitLetsAReportingWorkerFinish) {
    PumpGuard guard;
    std::mutex queueMutex;
    std::deque<std::function<void()>> queue;  // the waiting thread's "message queue"
    WThread::SetMessagePump([&] {
        std::deque<std::function<void()>> pending;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            pending.swap(queue);
        }
        for (auto& message : pending) message();
    });
    std::vector<int> shown;  // touched on the waiting thread only
    WThread thread;
    ASSERT_TRUE(thread.Create([&] {
        for (int i = 0; i < 3; ++i) {
            WEventSemaphore handled(nullptr, true, true);
            {
                std::lock_guard<std::mutex> lock(queueMutex);
                queue.push_back([&shown, &handled, i] {
                    shown.push_back(i);
                    handled.Set();
                });
            }
            if (!handled.Wait(kLongMs, true)) return 1;
        }
        return 0;
    }));
    ASSERT_TRUE(thread.Wait(kLongMs, false));
    int code = -1;
    ASSERT_TRUE(thread.GetExitCode(code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(shown, (std::vector<int>{0, 1, 2}));
}

}  // namespace
