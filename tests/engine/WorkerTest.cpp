// The attempts loop and stopping of WInternetWorker.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "engine/WInternetWorker.h"
#include "support/FakeHttpServer.h"
#include "support/FakeJobHost.h"
#include "support/TempDir.h"
#include "support/WorkerRunner.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;
using testsupport::FakeJobHost;
using testsupport::TempDir;

namespace {

// A loopback port with nothing listening on it: connects are refused at once.
int ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool WaitUntil(const std::function<bool()>& condition, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

class WorkerTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string target = dir.File("file.bin");
};

}  // namespace

TEST_F(WorkerTest, AttemptsUsedUp) {
    Settings settings;
    settings.attempts = 3;
    FakeJobHost host(settings, "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/f", target,
                     1);
    ASSERT_TRUE(testsupport::RunWorkers(host));
    const std::string refused = "Cannot connect to 127.0.0.1: Connection refused\r\n";
    EXPECT_EQ(host.LogLines(0),
              (std::vector<std::string>{
                  "ATTEMPTION #0\r\n\r\n", refused, "Thread #0. complited with 0\r\n",
                  "ATTEMPTION #1\r\n\r\n", refused, "Thread #0. complited with 0\r\n",
                  "ATTEMPTION #2\r\n\r\n", refused, "Thread #0. complited with 0\r\n"}));
    ASSERT_EQ(host.Finished().size(), 1u);
    EXPECT_FALSE(host.Finished()[0].ok);
}

TEST_F(WorkerTest, NoAttemptMeansFailure) {
    Settings settings;
    settings.attempts = 0;
    FakeJobHost host(settings, "http://127.0.0.1/f", target, 2);
    ASSERT_TRUE(testsupport::RunWorkers(host));
    EXPECT_TRUE(host.LogLines(0).empty());
    ASSERT_EQ(host.Finished().size(), 2u);
    EXPECT_FALSE(host.Finished()[0].ok);
    EXPECT_FALSE(host.Finished()[1].ok);
}

TEST_F(WorkerTest, PartFileNames) {
    Settings settings;
    settings.attempts = 0;
    FakeJobHost host(settings, "http://127.0.0.1/f", "/tmp/x/target", 12);
    WInternetWorker first, eleventh;
    ASSERT_TRUE(first.Start(&host, 0));
    ASSERT_TRUE(eleventh.Start(&host, 11));
    first.Stop();
    eleventh.Stop();
    EXPECT_EQ(first.PartFileName(), "/tmp/x/target");
    EXPECT_EQ(eleventh.PartFileName(), "/tmp/x/target11");
    EXPECT_EQ(eleventh.ThreadNumber(), 11);
}

// The attempts setting is read afresh before every attempt.
TEST_F(WorkerTest, AttemptsSettingIsReadBeforeEachAttempt) {
    class ShrinkingHost : public FakeJobHost {
    public:
        using FakeJobHost::FakeJobHost;
        Settings SettingsSnapshot() const override {
            Settings s = FakeJobHost::SettingsSnapshot();
            s.attempts = snapshots++ == 0 ? 5 : 2;
            return s;
        }
        mutable std::atomic<int> snapshots{0};
    };
    ShrinkingHost host(Settings{}, "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/f",
                       target, 1);
    ASSERT_TRUE(testsupport::RunWorkers(host));
    EXPECT_EQ(host.LogLines(0).size(), 6u);  // two attempts, each with its three lines
    EXPECT_EQ(host.snapshots.load(), 3);
}

TEST_F(WorkerTest, StopDuringBlockedReceiveEndsTheWorkerPromptly) {
    FakeHttpOptions options;
    options.body = testsupport::PatternBytes(100000);
    options.stallAfter = 1000;
    options.stallConnections = 100;
    FakeHttpServer server(options);
    Settings settings;
    settings.attempts = 5;
    FakeJobHost host(settings, server.Url(), target, 1);
    host.Fields().options = JobOptions{3000, 20000, 0};

    WInternetWorker worker;
    ASSERT_TRUE(worker.Start(&host, 0));
    ASSERT_TRUE(WaitUntil([&] { return host.DeltaSum(0) >= 1000; }, 10000));
    auto started = std::chrono::steady_clock::now();
    worker.Stop();
    auto took = std::chrono::steady_clock::now() - started;
    // Sooner than the 20 s stall limit: only the stop can have ended the receive.
    EXPECT_LT(took, std::chrono::seconds(20));
    EXPECT_FALSE(worker.IsRunning());

    ASSERT_EQ(host.Finished().size(), 1u);
    EXPECT_FALSE(host.Finished()[0].ok);
    std::string log = host.LogText(0);
    EXPECT_EQ(log.find("ATTEMPTION #1"), std::string::npos);  // no retry after a stop
    EXPECT_NE(log.find("Thread #0. complited with 0\r\n"), std::string::npos);
    EXPECT_EQ(testsupport::ReadFileBytes(target), server.Body().substr(0, 1000));
}

TEST_F(WorkerTest, AllWorkersOfAJobWindDownTogether) {
    FakeHttpOptions options;
    options.body = testsupport::PatternBytes(30000);
    options.stallAfter = 500;
    options.stallConnections = 100;
    FakeHttpServer server(options);
    Settings settings;
    settings.attempts = 5;
    FakeJobHost host(settings, server.Url(), target, 3);
    host.Fields().options = JobOptions{3000, 20000, 0};

    std::vector<std::unique_ptr<WInternetWorker>> workers;
    for (int i = 0; i < 3; ++i) {
        workers.push_back(std::make_unique<WInternetWorker>());
        ASSERT_TRUE(workers.back()->Start(&host, i));
    }
    ASSERT_TRUE(WaitUntil([&] { return server.Requests("GET").size() == 3; }, 10000));
    for (auto& w : workers) w->RequestStop();
    for (auto& w : workers) w->Stop();
    ASSERT_TRUE(host.WaitFinished(3, 1000));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(host.FinishedCount(i), 1) << i;
    for (const auto& f : host.Finished()) EXPECT_FALSE(f.ok);
}

TEST_F(WorkerTest, StopOfAWorkerThatNeverStartedReturns) {
    WInternetWorker worker;
    worker.Stop();
    EXPECT_FALSE(worker.IsRunning());
}

// After a failed attempt the worker pauses, twice as long after each further failure; a stop
// ends the pause at once; absurd attempt counts are cut.
TEST_F(WorkerTest, PausesBetweenFailedAttemptsGrow) {
    Settings settings;
    settings.attempts = 4;
    FakeJobHost host(settings, "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/f", target,
                     1);
    host.Fields().options.retryPauseMs = 40;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(testsupport::RunWorkers(host));
    // 40 + 80 + 160 ms at least.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(280));
    EXPECT_NE(host.LogText(0).find("ATTEMPTION #3"), std::string::npos);
}

TEST_F(WorkerTest, StopEndsThePauseAtOnce) {
    Settings settings;
    settings.attempts = 3;
    FakeJobHost host(settings, "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/f", target,
                     1);
    host.Fields().options.retryPauseMs = 60000;
    WInternetWorker worker;
    ASSERT_TRUE(worker.Start(&host, 0));
    ASSERT_TRUE(WaitUntil(
        [&] { return host.LogText(0).find("complited with 0") != std::string::npos; }, 10000));
    const auto started = std::chrono::steady_clock::now();
    worker.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(host.FinishedCount(0), 1);
    EXPECT_EQ(host.LogText(0).find("ATTEMPTION #1"), std::string::npos);
}

TEST_F(WorkerTest, AbsurdAttemptCountIsCut) {
    Settings settings;
    settings.attempts = 2147483647;
    FakeJobHost host(settings, "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/f", target,
                     1);
    ASSERT_TRUE(testsupport::RunWorkers(host, 60000));
    const std::string log = host.LogText(0);
    EXPECT_NE(log.find("attempts=2147483647 is more than 1000: making 1000 at most"),
              std::string::npos);
    EXPECT_NE(log.find("ATTEMPTION #999\r\n"), std::string::npos);
    EXPECT_EQ(log.find("ATTEMPTION #1000\r\n"), std::string::npos);
}
