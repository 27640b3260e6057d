#include "support/Blocked.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace testsupport {

namespace {

bool InCall(int tid, BlockedIn where) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    if (!(in >> number)) return false;
    if (where == BlockedIn::Lock) return number == SYS_futex;
#ifdef SYS_poll
    if (number == SYS_poll) return true;
#endif
    return number == SYS_ppoll;
}

int CountInCall(BlockedIn where, int except) {
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) {
        const int tid = std::atoi(entry->d_name);
        if (tid > 0 && tid != except && InCall(tid, where)) ++count;
    }
    ::closedir(dir);
    return count;
}

}  // namespace

int CurrentTid() {
    return static_cast<int>(::syscall(SYS_gettid));
}

bool WaitUntilBlocked(int tid, BlockedIn where, int ms) {
    return WaitUntil([&] { return InCall(tid, where); }, ms);
}

bool WaitUntilThreadsBlocked(int count, BlockedIn where, int ms) {
    const int me = CurrentTid();
    return WaitUntil([&] { return CountInCall(where, me) >= count; }, ms);
}

}  // namespace testsupport
