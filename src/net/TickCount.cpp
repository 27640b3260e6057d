#include "net/TickCount.h"

#include <chrono>

int64_t TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return ms == 0 ? 1 : ms;
}
