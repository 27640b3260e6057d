// HTTP answers that must not end up in a part file, and connections that fail mid-way.
#include <sys/stat.h>
#include <unistd.h>

#include "HttpTestFixture.h"
#include "support/FileSizeLimit.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;
using testsupport::FileExists;
using testsupport::PatternBytes;

namespace {

bool Logged(const testsupport::FakeJobHost& host, int thread, const std::string& text) {
    return host.LogText(thread).find(text) != std::string::npos;
}

}  // namespace

TEST_F(HttpEngineTest, FullBodyAnswerToRangedGetWritesNothing) {
    FakeHttpOptions options = Serving(1000);
    options.ignoreRanges = true;
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 2);
    EXPECT_FALSE(RunAttempt(*host, 1));
    EXPECT_FALSE(FileExists(PartName(1)));
    EXPECT_TRUE(Logged(*host, 1, "answered with status 200 instead of 206"));
    EXPECT_EQ(host->DeltaSum(1), 0);
}

TEST_F(HttpEngineTest, ShiftedContentRangeWritesNothing) {
    FakeHttpOptions options = Serving(1000);
    options.contentRangeShift = 10;
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 2);
    EXPECT_FALSE(RunAttempt(*host, 1));
    EXPECT_FALSE(FileExists(PartName(1)));
    EXPECT_TRUE(Logged(*host, 1, "Content-Range does not start at byte 0"));  // the lead's
}

TEST_F(HttpEngineTest, RedirectPageIsNeverWritten) {
    for (auto ranges :
         {FakeHttpOptions::AcceptRanges::Bytes, FakeHttpOptions::AcceptRanges::Absent}) {
        FakeHttpOptions options = Serving(1000);
        options.getStatus = 302;
        options.location = "/file.bin";  // to itself, until the limit
        options.acceptRanges = ranges;
        FakeHttpServer server(options);
        auto host = MakeHost(server.Url(), 1);
        EXPECT_FALSE(RunAttempt(*host, 0));
        EXPECT_FALSE(FileExists(target));
        EXPECT_TRUE(Logged(*host, 0, "More than 10 redirects"));
        EXPECT_EQ(server.Requests("GET").size(), 11u);
    }
}

TEST_F(HttpEngineTest, SizeOnlyFromASuccessfulHead) {
    FakeHttpOptions redirect = Serving(1000);
    redirect.headStatus = 300;  // a choice, not a redirect that is followed
    FakeHttpServer server(redirect);
    auto host = MakeHost(server.Url(), 1);
    EXPECT_FALSE(RunAttempt(*host, 0));
    EXPECT_EQ(host->Fields().knowledge.Size(), -1);
    EXPECT_TRUE(Logged(*host, 0, "HEAD answered with status 300"));
    EXPECT_TRUE(server.Requests("GET").empty());

    FakeHttpOptions missing = Serving(1000);
    missing.headStatus = 404;
    FakeHttpServer server404(missing);
    host = MakeHost(server404.Url(), 1);
    EXPECT_FALSE(RunAttempt(*host, 0));
    EXPECT_EQ(host->Fields().knowledge.Size(), -1);
}

// A length that is there but no size is no cue to read to the end (HttpProbeTest has the
// replies without one).
TEST_F(HttpEngineTest, NegativeContentLengthFails) {
    FakeHttpOptions options = Serving(1000);
    options.contentLengthText = "-5";
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 1);
    EXPECT_FALSE(RunAttempt(*host, 0));
    EXPECT_EQ(host->Fields().knowledge.Size(), -1);
    EXPECT_TRUE(server.Requests("GET").empty());
    EXPECT_FALSE(FileExists(target));
}

TEST_F(HttpEngineTest, EndlessHeaderIsCutAt64KiB) {
    FakeHttpOptions options = Serving(1000);
    options.endlessHeader = true;
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 1);
    EXPECT_FALSE(RunAttempt(*host, 0));
    EXPECT_TRUE(Logged(*host, 0, "Header block larger than 65536 bytes"));
    EXPECT_EQ(host->Fields().knowledge.Size(), -1);
}

TEST_F(HttpEngineTest, DroppedTransferResumesOnTheNextAttempt) {
    FakeHttpOptions options = Serving(50000);
    options.dropAfter = 20000;
    options.dropConnections = 1;
    FakeHttpServer server(options);
    settings.attempts = 3;
    auto host = MakeHost(server.Url(), 1);
    host->Fields().options.stallTimeoutMs = 300;
    ASSERT_TRUE(testsupport::RunWorkers(*host));

    EXPECT_EQ(Part(0), server.Body());
    auto gets = server.Requests("GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[0].range, "bytes=0-49999");
    // 4096 bytes before the resume point come again, compared with the part's end.
    EXPECT_EQ(gets[1].range, "bytes=15904-49999");
    EXPECT_EQ(server.Requests("HEAD").size(), 1u);  // the size is known on the second attempt
    // One announcement for the whole worker: the deltas add up to the file exactly.
    EXPECT_EQ(host->DeltaSum(0), 50000);
    std::string log = host->LogText(0);
    size_t failed = log.find("Thread #0. complited with 0\r\n");
    ASSERT_NE(failed, std::string::npos);
    EXPECT_NE(log.find("ATTEMPTION #1\r\n\r\n", failed), std::string::npos);
    EXPECT_NE(log.find("Thread #0. complited with 1\r\n", failed), std::string::npos);
}

TEST_F(HttpEngineTest, StalledTransferEndsByTheStallLimitAndResumes) {
    FakeHttpOptions options = Serving(30000);
    options.stallAfter = 1000;
    options.stallConnections = 1;
    FakeHttpServer server(options);
    settings.attempts = 2;
    auto host = MakeHost(server.Url(), 1);
    ASSERT_TRUE(testsupport::RunWorkers(*host));
    EXPECT_EQ(Part(0), server.Body());
    auto gets = server.Requests("GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[1].range, "bytes=0-29999");  // the 1000 bytes in hand are compared
}

// A part file that is not a regular file (a link, here to a device; a pipe; a directory) is
// never written, unlinked or followed, and no bytes are reported for it.
class HttpOddPartTest : public HttpEngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(HttpOddPartTest, FailsTheAttempt) {
    FakeHttpServer server(Serving(1000));
    const std::string part = PartName(1);
    const int made = GetParam() == 0   ? ::symlink("/dev/full", part.c_str())
                     : GetParam() == 1 ? ::mkfifo(part.c_str(), 0600)
                                       : ::mkdir(part.c_str(), 0700);
    ASSERT_EQ(made, 0);
    auto host = MakeHost(server.Url(), 2);
    EXPECT_FALSE(RunAttempt(*host, 1));
    EXPECT_TRUE(Logged(*host, 1, "is not a regular file"));
    EXPECT_EQ(host->DeltaSum(1), 0);
    EXPECT_TRUE(server.Requests("GET").empty());
    struct stat st {};
    ASSERT_EQ(::lstat(part.c_str(), &st), 0);
    EXPECT_FALSE(S_ISREG(st.st_mode));
}

INSTANTIATE_TEST_SUITE_P(Kinds, HttpOddPartTest, ::testing::Values(0, 1, 2));

// Bytes reported as received but refused by the file are taken back, so the retry that fetches
// them again leaves the job's count equal to the file.
TEST_F(HttpEngineTest, WriteFailingPartwayCountsOnlyWhatTheFileTook) {
    FakeHttpServer server(Serving(400000));
    auto host = MakeHost(server.Url(), 1);
    {
        testsupport::FileSizeLimit limit(200000);
        if (!limit.set) GTEST_SKIP() << "cannot lower the file size limit";
        EXPECT_FALSE(RunAttempt(*host, 0));
    }
    EXPECT_TRUE(Logged(*host, 0, "Cannot write to"));
    EXPECT_EQ(Part(0), server.Body().substr(0, 200000));
    EXPECT_EQ(host->DeltaSum(0), 200000);

    // The retry as the worker runs it: the part's bytes were announced by the first attempt.
    WTransferSession retry(*host, host->SettingsSnapshot());
    retry.SetPartFile(PartName(0));
    retry.SetProgressAnnounced(true);
    ASSERT_TRUE(retry.RunAttempt());
    EXPECT_EQ(Part(0), server.Body());
    EXPECT_EQ(host->DeltaSum(0), 400000);
}

// A ranged GET carries If-Range with the HEAD's strong ETag; a server whose file changed
// answers 200 with the whole new body, and none of it goes into the segment.
TEST_F(HttpEngineTest, IfRangeAnsweredWithTheWholeFileWritesNothing) {
    FakeHttpOptions options = Serving(10000);
    options.extraHeaders = "ETag: \"v2\"\r\nLast-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n";
    options.ignoreRanges = true;
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 2);
    EXPECT_FALSE(RunAttempt(*host, 1));
    const auto gets = server.Requests("GET");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_NE(gets[0].text.find("If-Range: \"v2\"\r\n"), std::string::npos) << gets[0].text;
    EXPECT_TRUE(Logged(*host, 1, "The remote file changed during the job")) << host->LogText(1);
    EXPECT_FALSE(FileExists(PartName(1)));
}

struct BadProxy {
    const char* address;
    int port;
    const char* logged;
};

class HttpBadProxyTest : public HttpEngineTest, public ::testing::WithParamInterface<BadProxy> {};

// Neither reaches a connect: an unset address (the settings' default) would reach this machine.
TEST_P(HttpBadProxyTest, FailsWithALogLine) {
    settings.useproxy = true;
    settings.proxyaddr = GetParam().address;
    settings.proxyport = GetParam().port;
    auto host = MakeHost("http://files.example/a", 1);
    EXPECT_FALSE(RunAttempt(*host, 0));
    EXPECT_TRUE(Logged(*host, 0, GetParam().logged)) << host->LogText(0);
}

INSTANTIATE_TEST_SUITE_P(Proxies, HttpBadProxyTest,
                         ::testing::Values(BadProxy{"127.0.0.1", 70000, "Proxy port 70000 is out"},
                                           BadProxy{"000.0.0.000", 3128, "No proxy address is set"},
                                           BadProxy{"0.0.0.0", 3128, "No proxy address is set"}));
