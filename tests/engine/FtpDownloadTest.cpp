// Whole FTP jobs run by real workers against the scripted fake: byte-exact downloads in both
// data modes, servers that cannot resume, broken data connections, and Stop.
#include <chrono>
#include <thread>

#include "FtpTestHelpers.h"
#include "support/Blocked.h"

namespace ftptest {
namespace {

using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

class FtpDownloadTest : public FtpFixture {};

struct ModeAndThreads {
    bool passive;
    int threads;
};

class FtpDownloadModes : public FtpFixture, public ::testing::WithParamInterface<ModeAndThreads> {};

TEST_P(FtpDownloadModes, ByteExact) {
    const ModeAndThreads p = GetParam();
    const std::string content = Pattern(1000003);  // not a multiple of the thread count
    FakeFtpServer server(content);
    FakeJobHost host(MakeSettings(p.passive, 2), server.Url(), Target(), p.threads);
    ASSERT_TRUE(RunJob(host)) << host.LogText(0);
    EXPECT_TRUE(Joined(host) == content);
    EXPECT_EQ(server.ConnectionCount(), p.threads);
    for (int i = 0; i < p.threads; ++i) {
        // Each thread's reports add up to its segment.
        const int64_t segment = i < p.threads - 1
                                    ? 1000003 / p.threads
                                    : 1000003 - (p.threads - 1) * (1000003 / p.threads);
        EXPECT_EQ(host.DeltaSum(i), segment) << "thread " << i;
        EXPECT_EQ(host.LogLines(i).back(),
                  "Thread #" + std::to_string(i) + ". complited with 1\r\n");
    }
    if (p.threads > 1) {
        EXPECT_EQ(host.Fields().knowledge.RangeSupport(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpDownloadModes,
                         ::testing::Values(ModeAndThreads{true, 1}, ModeAndThreads{true, 3},
                                           ModeAndThreads{false, 1}, ModeAndThreads{false, 3}),
                         [](const ::testing::TestParamInfo<ModeAndThreads>& testInfo) {
                             return std::string(testInfo.param.passive ? "Passive" : "Active") +
                                    std::to_string(testInfo.param.threads);
                         });

// What an earlier job left in the target: stale bytes, or exactly one segment's worth (right
// or wrong), which without resume is not the whole file and must be fetched again.
class FtpNoResumeTarget : public FtpFixture, public ::testing::WithParamInterface<int> {};

TEST_P(FtpNoResumeTarget, ThreadZeroFetchesTheWholeFile) {
    const std::string content = Pattern(200001);
    FakeFtpServer server(content);
    server.SetReply("REST", "502 REST not implemented.\r\n");
    const std::string left[] = {"stale bytes of another run", content.substr(0, 200001 / 3),
                                std::string(200001 / 3, 'x')};
    WriteFileBytes(Target(), left[GetParam()]);
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 3);
    ASSERT_TRUE(RunJob(host)) << host.LogText(0);

    EXPECT_TRUE(ReadFileBytes(Target()) == content);
    EXPECT_FALSE(FileExists(Target() + "1"));
    EXPECT_FALSE(FileExists(Target() + "2"));
    EXPECT_EQ(host.Fields().knowledge.RangeSupport(), 0);
    for (int i = 1; i < 3; ++i) {
        const auto log = host.LogLines(i);
        EXPECT_TRUE(Contains(log, "QUIT\r\n")) << host.LogText(i);
        EXPECT_FALSE(AnyStartsWith(log, "SIZE"));
        EXPECT_FALSE(AnyStartsWith(log, "RETR"));
        EXPECT_EQ(log.back(), "Thread #" + std::to_string(i) + ". complited with 1\r\n");
    }
    EXPECT_TRUE(Contains(host.LogLines(0), "RETR /file.bin\r\n"));
    EXPECT_FALSE(Contains(host.LogLines(0), "REST 0\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Left, FtpNoResumeTarget, ::testing::Values(0, 1, 2));

TEST_F(FtpDownloadTest, RestOffsetRefusedForThreadOne) {
    // The probe passes, the real offset is refused: the first answer stands, and since the
    // server cannot be trusted with offsets the job turns to one whole-file connection.
    const std::string content = Pattern(10000);
    FakeFtpServer server(content);
    server.SetHook([](int, const std::string& verb, const std::string& arg, std::string& reply) {
        if (verb == "REST" && arg != "64" && arg != "0") reply = "554 Restart not valid\r\n";
    });
    FakeJobHost host(MakeSettings(true, 3), server.Url(), Target(), 2);
    EXPECT_FALSE(RunWorkers(host, {1}));

    const auto log = host.LogLines(1);
    EXPECT_TRUE(Contains(log, "REST 904\r\n"));  // 5000 less the lead window
    EXPECT_EQ(log.back(), "The whole file is fetched over one connection: this range stops\r\n");
    ASSERT_EQ(server.ConnectionCount(), 1);
    EXPECT_FALSE(AnyStartsWith(server.Commands(0), "RETR"));
    EXPECT_FALSE(FileExists(Target() + "1"));
    EXPECT_EQ(host.Fields().knowledge.RangeSupport(), 1);
    EXPECT_EQ(host.Fields().wholeFile.load(), JobFields::WholeFile::Wanted);
}

TEST_F(FtpDownloadTest, DroppedDataConnectionResumesOnTheNextAttempt) {
    const std::string content = Pattern(300000);
    FakeFtpServer server(content);
    server.DropDataAfter(5000, 1);
    FakeJobHost host(MakeSettings(true, 3), server.Url(), Target(), 1);
    ASSERT_TRUE(RunJob(host)) << host.LogText(0);
    EXPECT_TRUE(ReadFileBytes(Target()) == content);
    ASSERT_EQ(server.ConnectionCount(), 2);
    EXPECT_FALSE(AnyStartsWith(server.Commands(0), "REST"));
    // The resume starts 4096 bytes early: those are compared with the part's end.
    EXPECT_TRUE(Contains(server.Commands(1), "REST 904"));
    EXPECT_EQ(host.DeltaSum(0), 300000);
}

TEST_F(FtpDownloadTest, DroppedDataConnectionsInAThreeThreadActiveJob) {
    const std::string content = Pattern(600001);
    FakeFtpServer server(content);
    server.DropDataAfter(1234, 2);
    FakeJobHost host(MakeSettings(false, 3), server.Url(), Target(), 3);
    ASSERT_TRUE(RunJob(host)) << host.LogText(0);
    EXPECT_TRUE(Joined(host) == content);
    EXPECT_EQ(server.ConnectionCount(), 5);
}

// Complete parts: one whose record vouches for it (same size, start and MDTM) is not asked
// for at all; one without a record is checked at its seam only.
SegmentLead Lead(const std::string& content, int segment) {
    if (segment == 0) {
        return {};
    }
    return {3000, WindowDigest(content.data() + 3000 * (segment - 1), 3000)};
}

class FtpCompleteParts : public FtpFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(FtpCompleteParts, AreNotFetchedAgain) {
    const bool recorded = GetParam();
    const std::string content = Pattern(9000);
    FakeFtpServer server(content);
    for (int i = 0; i < 2; ++i) {
        const std::string name = i == 0 ? Target() : Target() + "1";
        WriteFileBytes(name, content.substr(3000 * i, 3000));
        if (recorded) {
            ASSERT_TRUE(WriteRecord(name, {9000, 3, 3000 * i, kServerMdtm, Lead(content, i)}));
        }
    }
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 3);
    ASSERT_TRUE(RunJob(host)) << host.LogText(2);
    EXPECT_TRUE(Joined(host) == content);
    EXPECT_EQ(AnyStartsWith(host.LogLines(0), "RETR"), !recorded);
    EXPECT_EQ(AnyStartsWith(host.LogLines(1), "RETR"), !recorded);
    if (!recorded) {
        EXPECT_TRUE(Contains(host.LogLines(1), "REST 3000\r\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(Records, FtpCompleteParts, ::testing::Bool());

TEST_F(FtpDownloadTest, StopDuringActiveAcceptReturnsPromptly) {
    FakeFtpServer server(Pattern(1000));
    server.SetNeverConnectData(true);
    FakeJobHost host(MakeSettings(false, 5), server.Url(), Target(), 1);
    host.Fields().options = JobOptions{30000, 30000, 0};  // only Stop can end the wait
    WInternetWorker worker;
    ASSERT_TRUE(worker.Start(&host, 0));
    ASSERT_TRUE(server.WaitForCommand("RETR", 10000));
    // The RETR reply is logged just before the Accept: the next wait in poll is the Accept.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return AnyStartsWith(host.LogLines(0), "150"); }));
    ASSERT_TRUE(testsupport::WaitUntilBlocked(host.WorkerTid(0), testsupport::BlockedIn::Poll));

    const auto before = std::chrono::steady_clock::now();
    worker.Stop();
    // Sooner than the limits: only the Stop can have ended the wait.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(30));
    ASSERT_EQ(host.Finished().size(), 1u);
    EXPECT_FALSE(host.Finished()[0].ok);
    EXPECT_EQ(server.ConnectionCount(), 1);  // no further attempt after the stop
}

TEST_F(FtpDownloadTest, ServerThatNeverConnectsClosesTheListener) {
    // Short stall limit: the Accept gives up and the attempt fails with the listener closed.
    FakeFtpServer server(Pattern(1000));
    server.SetNeverConnectData(true);
    FakeJobHost host(MakeSettings(false), server.Url(), Target(), 1);
    host.Fields().options.stallTimeoutMs = 300;
    bool ok = true;
    auto s = RunOne(host, 0, ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Contains(server.Commands(0), "RETR /file.bin"));
    // The listener belongs to the conversation, which ends with the attempt.
}

TEST_F(FtpDownloadTest, StopDuringPassiveTransferReturnsPromptly) {
    const std::string content = Pattern(100000);
    FakeFtpServer server(content);
    server.SetNeverConnectData(true);  // the client connects, but no byte ever comes
    FakeJobHost host(MakeSettings(true, 5), server.Url(), Target(), 1);
    host.Fields().options = JobOptions{30000, 30000, 0};
    WInternetWorker worker;
    ASSERT_TRUE(worker.Start(&host, 0));
    ASSERT_TRUE(server.WaitForCommand("RETR", 10000));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return AnyStartsWith(host.LogLines(0), "150"); }));
    ASSERT_TRUE(testsupport::WaitUntilBlocked(host.WorkerTid(0), testsupport::BlockedIn::Poll));

    const auto before = std::chrono::steady_clock::now();
    worker.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(30));
    ASSERT_EQ(host.Finished().size(), 1u);
    EXPECT_FALSE(host.Finished()[0].ok);
}

// A 5xx to the login or to RETR is the server's answer for good; a 4xx asks for a later try.
TEST_F(FtpDownloadTest, RefusalsEndTheAttemptsAndSayWhy) {
    struct Case {
        std::string verb;
        std::string reply;
        int connections;  // with 3 attempts
        bool permanent;
    };
    const Case cases[] = {
        {"PASS", "530 Login incorrect.", 1, true},
        {"RETR", "550 Failed to open file.", 1, true},
        {"RETR", "450 Busy, try later.", 3, false},
    };
    for (const Case& c : cases) {
        FakeFtpServer server(Pattern(1000));
        server.SetReply(c.verb, c.reply + "\r\n");
        FakeJobHost host(MakeSettings(true, 3), server.Url(), Target(), 1);
        host.Fields().options.retryPauseMs = 0;
        EXPECT_FALSE(RunWorkers(host, {0})) << c.reply;
        EXPECT_EQ(server.ConnectionCount(), c.connections) << c.reply;
        ASSERT_EQ(host.Finished().size(), 1u);
        const Failure failure = host.Finished()[0].failure;
        EXPECT_EQ(failure.kind, c.reply[0] == '5' ? Failure::Kind::Refused : Failure::Kind::Server);
        EXPECT_EQ(failure.permanent, c.permanent) << c.reply;
        EXPECT_EQ(failure.text, c.reply);
    }
}

}  // namespace
}  // namespace ftptest
