// DownloadJob with real workers on inputs that need no server: a URL that does not split,
// and a peer on 127.0.0.1 that accepts connections into its backlog and never answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "job/DownloadJob.h"
#include "job/TargetLock.h"
#include "settings/Settings.h"
#include "support/Blocked.h"
#include "support/TempDir.h"

using testsupport::FileExists;
using testsupport::TempDir;

namespace {

using testsupport::BlockedIn;
using testsupport::WaitUntilThreadsBlocked;

// A listening socket that never accepts: connects succeed (the kernel queues them) and every
// request then waits for a reply that never comes.
class SilentPeer {
public:
    SilentPeer() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 16);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~SilentPeer() { ::close(fd); }
    int fd = -1;
    int port = 0;
};

// Bound the tests if a stop went astray.
const JobOptions kLimits{3000, 5000, 0};  // no pause: the cases count attempts

class JobWorkersTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.Update([](Settings& s) { s.attempts = 2; });
    }

    TempDir dir;
    std::string target = dir.File("f.bin");
    SharedSettings settings;
};

TEST_F(JobWorkersTest, UrlThatDoesNotSplitFailsEveryThread) {
    DownloadJob job(settings, nullptr);
    job.Start("not a url", target, 3, kLimits);
    ASSERT_TRUE(job.WaitFinished(10000));
    const JobView view = job.Snapshot();
    EXPECT_EQ(view.text, "Job failed");
    for (const ThreadBarView& bar : view.threads) {
        EXPECT_TRUE(bar.failed);
        EXPECT_EQ(bar.tooltip, "Failed");
        EXPECT_TRUE(bar.failure.permanent);
        EXPECT_EQ(bar.failure.text, "cannot split the URL not a url");
    }
    // No retry can mend the URL: the first thread to try it ends every thread's attempts.
    int completions = 0;
    for (const auto& line : job.TakeLogLines()) {
        if (line.second.find("complited with 0") != std::string::npos) ++completions;
    }
    EXPECT_GE(completions, 1);
    EXPECT_LE(completions, 3);
    job.StopAllWorkers();
    EXPECT_FALSE(FileExists(target));
}

TEST_F(JobWorkersTest, StopAllWorkersEndsBlockedThreadsWithAVerdict) {
    SilentPeer peer;
    DownloadJob job(settings, nullptr);
    job.Start("http://127.0.0.1:" + std::to_string(peer.port) + "/f", target, 3, kLimits);
    // Thread 0 blocked in its receive, the others waiting for its reply.
    ASSERT_TRUE(WaitUntilThreadsBlocked(1, BlockedIn::Poll));
    ASSERT_TRUE(WaitUntilThreadsBlocked(2, BlockedIn::Lock));
    EXPECT_FALSE(job.IsFinished());

    const auto begin = std::chrono::steady_clock::now();
    job.StopAllWorkers();
    // Sooner than the stall limit: only the stop can have ended the receives.
    EXPECT_LT(std::chrono::steady_clock::now() - begin,
              std::chrono::milliseconds(kLimits.stallTimeoutMs));
    // Not closing: every stopped worker reported its end, so the verdict came.
    ASSERT_TRUE(job.IsFinished());
    EXPECT_EQ(job.Snapshot().text, "Job failed");
}

TEST_F(JobWorkersTest, ClosingStopsWithoutVerdict) {
    SilentPeer peer;
    DownloadJob job(settings, nullptr);
    job.Start("http://127.0.0.1:" + std::to_string(peer.port) + "/f", target, 2, kLimits);
    ASSERT_TRUE(WaitUntilThreadsBlocked(1, BlockedIn::Poll));
    ASSERT_TRUE(WaitUntilThreadsBlocked(1, BlockedIn::Lock));
    job.SetClosing();
    job.StopAllWorkers();
    EXPECT_FALSE(job.IsFinished());
    EXPECT_EQ(job.Snapshot().text, "");
}

TEST_F(JobWorkersTest, RestartTearsDownThePreviousJob) {
    SilentPeer peer;
    DownloadJob job(settings, nullptr);
    const std::string url = "http://127.0.0.1:" + std::to_string(peer.port) + "/f";
    job.Start(url, target, 2, kLimits);
    ASSERT_TRUE(WaitUntilThreadsBlocked(1, BlockedIn::Poll));
    ASSERT_TRUE(WaitUntilThreadsBlocked(1, BlockedIn::Lock));
    job.Start(url, target, 3, kLimits);  // the running job is stopped first
    JobView view = job.Snapshot();
    EXPECT_FALSE(view.finished);
    EXPECT_EQ(view.threads.size(), 3u);
    EXPECT_EQ(view.text, "");
    job.SetClosing();
    job.StopAllWorkers();
}

}  // namespace

// Two jobs on one target would interleave their writes: the second fails at once and touches
// nothing; the lock goes with the first job, and an empty target made only to carry it too.
TEST_F(JobWorkersTest, SecondJobOnTheSameTargetFailsAtOnce) {
    SilentPeer peer;
    const std::string url = "http://127.0.0.1:" + std::to_string(peer.port) + "/f";
    for (bool existed : {false, true}) {
        if (existed) testsupport::WriteFileBytes(target, "abc");
        DownloadJob first(settings, nullptr);
        first.Start(url, target, 2, kLimits);
        DownloadJob second(settings, nullptr);
        second.Start(url, target, 3, kLimits);
        ASSERT_TRUE(second.WaitFinished(2000));
        EXPECT_EQ(second.Snapshot().text, "Job failed");
        bool said = false;
        for (const auto& line : second.TakeLogLines()) {
            said = said ||
                   line.second == "Job failed: " + target + " is in use by another download\r\n";
        }
        EXPECT_TRUE(said);
        EXPECT_FALSE(FileExists(target + "2"));
        EXPECT_FALSE(first.IsFinished());
        first.SetClosing();
        first.StopAllWorkers();
        EXPECT_EQ(FileExists(target), existed);
        if (existed) {
            EXPECT_EQ(testsupport::ReadFileBytes(target), "abc");
        }
        // Free again once the first job is gone.
        DownloadJob third(settings, nullptr);
        third.Start("not a url", target, 1, kLimits);
        ASSERT_TRUE(third.WaitFinished(5000));
        for (const auto& line : third.TakeLogLines()) {
            EXPECT_EQ(line.second.find("in use"), std::string::npos);
        }
    }
}

// A job whose files are another running job's: its target is that job's part, or one of its
// parts is that job's target. It fails at once with the reason and touches nothing.
TEST_F(JobWorkersTest, JobOnAnotherJobsFilesFailsAtOnce) {
    struct Case {
        std::string running, second, said;
    };
    const std::string t = dir.File("t.bin");
    const Case cases[] = {
        {t, t + "1", t + "1 is a part file of another download (of " + t + ")"},
        {t, t + ".r123.part", t + ".r123.part is a part file of another download (of " + t + ")"},
        {t + "2", t, "its part file " + t + "2 is in use by another download"},
    };
    for (const Case& c : cases) {
        testsupport::WriteFileBytes(c.running, "theirs");
        testsupport::WriteFileBytes(c.second, "kept");
        TargetLock running;
        std::string error;
        ASSERT_TRUE(running.Acquire(c.running, 1, error)) << error;
        DownloadJob second(settings, nullptr);
        second.Start("http://127.0.0.1:9/f", c.second, 3, kLimits);
        ASSERT_TRUE(second.WaitFinished(2000));
        bool said = false;
        for (const auto& line : second.TakeLogLines()) {
            said = said || line.second == "Job failed: " + c.said + "\r\n";
        }
        EXPECT_TRUE(said) << c.said;
        EXPECT_EQ(testsupport::ReadFileBytes(c.running), "theirs");
        EXPECT_EQ(testsupport::ReadFileBytes(c.second), "kept");
        ::unlink(c.running.c_str());
        ::unlink(c.second.c_str());
    }
}
