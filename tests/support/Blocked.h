#pragma once
#include <chrono>
#include <thread>

// Waiting for a thread to be blocked, instead of sleeping and hoping it is: Linux shows in
// /proc/self/task/<tid>/syscall which system call each thread of the process sits in. Any
// thread may call these.
namespace testsupport {

// The calling thread's kernel thread id.
int CurrentTid();

// True once condition() holds, checked every millisecond until ms have passed.
template <class Condition>
bool WaitUntil(Condition condition, int ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Where a blocked wait sits: the socket layer's poll, or a lock's or condition variable's futex.
enum class BlockedIn { Poll, Lock };

// True once thread tid sits there, checked until ms have passed.
bool WaitUntilBlocked(int tid, BlockedIn where, int ms = 5000);
// True once at least count threads of the process (the caller's excluded) sit there at the
// same moment, checked until ms have passed.
bool WaitUntilThreadsBlocked(int count, BlockedIn where, int ms = 5000);

}  // namespace testsupport
