#pragma once
// Monotonic millisecond clock for speeds and elapsed times; any thread may call it.
#include <cstdint>

// Milliseconds of a monotonic clock (unaffected by changes of the wall clock). Never 0,
// because job fields use 0 for "no data yet".
int64_t TickCount();
