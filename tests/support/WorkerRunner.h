#pragma once
// Helpers for engine tests that run real workers: short socket-layer limits for one test, and
// running every worker of a FakeJobHost's job to its end. Called from the test's main thread.
#include "support/FakeJobHost.h"

namespace testsupport {

// Sets the socket layer's process-wide limits for the life of the object, then restores the
// built-in ones.
class ScopedSocketTimeouts {
  public:
    ScopedSocketTimeouts(int connectMs, int stallMs);
    ~ScopedSocketTimeouts();
    ScopedSocketTimeouts(const ScopedSocketTimeouts&) = delete;
    ScopedSocketTimeouts& operator=(const ScopedSocketTimeouts&) = delete;
};

// Starts one WInternetWorker per thread of the host's job, waits at most ms for all of them
// to report ThreadFinished, then stops and deletes them. True when all finished in time.
bool RunWorkers(FakeJobHost& host, int ms = 30000);

}  // namespace testsupport
