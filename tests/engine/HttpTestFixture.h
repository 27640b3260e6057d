#pragma once
// Shared set-up of the HTTP engine tests: a temp dir with the target path, short socket
// limits, settings with one attempt, and a way to run one attempt of one thread directly.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/WTransferSession.h"
#include "support/FakeHttpServer.h"
#include "support/FakeJobHost.h"
#include "support/TempDir.h"
#include "support/WorkerRunner.h"

// A server that sends a pattern body of `size` bytes (and answers ranges).
inline testsupport::FakeHttpOptions Serving(size_t size) {
    testsupport::FakeHttpOptions options;
    options.body = testsupport::PatternBytes(size, 7);
    return options;
}

class HttpEngineTest : public ::testing::Test {
protected:
    HttpEngineTest() { settings.attempts = 1; }

    std::unique_ptr<testsupport::FakeJobHost> MakeHost(const std::string& url, int threadCount) {
        auto host = std::make_unique<testsupport::FakeJobHost>(settings, url, target, threadCount);
        host->Fields().options = JobOptions{3000, 3000, 0};
        // These cases script the HEAD exchange; thread 0's GET that learns the size has cases
        // of its own (HttpProbeTest).
        host->Fields().options.sizeFromFirstGet = false;
        return host;
    }
    std::string PartName(int i) const { return i == 0 ? target : target + std::to_string(i); }
    std::string Part(int i) const { return testsupport::ReadFileBytes(PartName(i)); }

    // One attempt of one thread, run on the test's thread.
    bool RunAttempt(testsupport::FakeJobHost& host, int threadNumber) {
        WTransferSession session(host, host.SettingsSnapshot());
        session.SetThread(threadNumber, -1, 0);
        session.SetPartFile(PartName(threadNumber));
        return session.RunAttempt();
    }

    testsupport::TempDir dir;
    std::string target = dir.File("file.bin");
    Settings settings;
};
