#pragma once
// Helper for engine tests that run real workers: runs every worker of a FakeJobHost's job to
// its end. Called from the test's main thread.
#include "support/FakeJobHost.h"

namespace testsupport {

// Starts one WInternetWorker per thread of the host's job, waits at most ms for all of them
// to report ThreadFinished, then stops and deletes them. True when all finished in time.
bool RunWorkers(FakeJobHost& host, int ms = 30000);

}  // namespace testsupport
