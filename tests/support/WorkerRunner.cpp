#include "support/WorkerRunner.h"

#include <memory>
#include <vector>

#include "engine/WInternetWorker.h"

namespace testsupport {

bool RunWorkers(FakeJobHost& host, int ms) {
    int threadCount = host.Fields().workers;
    std::vector<std::unique_ptr<WInternetWorker>> workers;
    int started = 0;
    for (int i = 0; i < threadCount; ++i) {
        workers.push_back(std::make_unique<WInternetWorker>());
        if (workers.back()->Start(&host, i)) ++started;
    }
    bool finished = host.WaitFinished(started, ms);
    for (auto& worker : workers) worker->RequestStop();
    for (auto& worker : workers) worker->Stop();
    return finished && started == threadCount;
}

}  // namespace testsupport
