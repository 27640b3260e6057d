#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/WThread.h"

namespace {

constexpr int kLongMs = 10000;  // bound for waits that must succeed; never reached when correct

// Closed until Open; Wait is true once it is open, false after ms.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool Wait(int ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// A worker-like target: Run blocks until released, then notes the parameter's value.
class Target {
public:
    Gate release;
    std::atomic<int> calls{0};
    std::atomic<int> result{-1};

    int Run(void* parameter) {
        ++calls;
        release.Wait(kLongMs);
        result = *static_cast<int*>(parameter);
        return result;
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
    EXPECT_FALSE(thread.Wait(30, true));  // still blocked: the wait times out
    target.release.Open();
    ASSERT_TRUE(thread.Wait(kLongMs, true));
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(target.result.load(), 42);
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
    target.release.Open();
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

    first.release.Open();
    ASSERT_TRUE(firstHandle.Wait(kLongMs, true));
    EXPECT_TRUE(thread.IsRunning());  // the handle now refers to the second thread
    second.release.Open();
    ASSERT_TRUE(thread.Wait(kLongMs, true));
    EXPECT_EQ(first.result.load(), 1);
    EXPECT_EQ(second.result.load(), 2);
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
    target.release.Open();
    ASSERT_TRUE(copy.Wait(kLongMs, true));
    EXPECT_FALSE(original.IsRunning());
    EXPECT_TRUE(assigned.Wait(0, true));
    EXPECT_EQ(target.calls.load(), 1);
}

TEST(WThread, DestroyingTheLastHandleLeavesTheThreadRunning) {
    Gate release;
    Gate finished;
    {
        WThread thread;
        ASSERT_TRUE(thread.Create([&] {
            release.Wait(kLongMs);
            finished.Open();
            return 0;
        }));
    }
    release.Open();
    EXPECT_TRUE(finished.Wait(kLongMs));
}

TEST(WThread, ManyThreadsCreatedAtOnce) {
    std::atomic<int> ran{0};
    std::vector<std::atomic<int>> results(16);
    std::vector<WThread> threads(16);
    std::vector<std::thread> creators;
    for (int c = 0; c < 4; ++c) {
        creators.emplace_back([&, c] {
            for (int i = c; i < 16; i += 4) {
                threads[i].Create([&ran, &results, i] {
                    ++ran;
                    results[i] = i + 1;
                    return 0;
                });
            }
        });
    }
    for (auto& creator : creators) creator.join();
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(threads[i].Wait(kLongMs, true));
        EXPECT_EQ(results[i].load(), i + 1);
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
    Gate release;
    WThread thread;
    ASSERT_TRUE(thread.Create([&] {
        release.Wait(kLongMs);
        return 0;
    }));
    // Bounded: gives up after the time, having pumped meanwhile.
    EXPECT_FALSE(thread.Wait(80, false));
    EXPECT_GT(pumped.load(), 0);
    // A plain wait never pumps.
    const int before = pumped.load();
    EXPECT_FALSE(thread.Wait(30, true));
    EXPECT_EQ(pumped.load(), before);
    release.Open();
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
    std::atomic<int> code{-1};
    WThread thread;
    ASSERT_TRUE(thread.Create([&] {
        code = 1;
        for (int i = 0; i < 3; ++i) {
            auto handled = std::make_shared<Gate>();
            {
                std::lock_guard<std::mutex> lock(queueMutex);
                queue.push_back([&shown, handled, i] {
                    shown.push_back(i);
                    handled->Open();
                });
            }
            if (!handled->Wait(kLongMs)) return 1;
        }
        code = 0;
        return 0;
    }));
    ASSERT_TRUE(thread.Wait(kLongMs, false));
    EXPECT_EQ(code.load(), 0);
    EXPECT_EQ(shown, (std::vector<int>{0, 1, 2}));
}

}  // namespace
