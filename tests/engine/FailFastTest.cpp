// Failures that no retry mends end a thread at once; the others keep their attempts and
// pauses. Each thread reports why, as a value.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "HttpTestFixture.h"
#include "engine/Failure.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;

namespace {

// A loopback port with nothing listening on it: connects are refused at once.
int ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class FailFastTest : public HttpEngineTest {};

}  // namespace

TEST(FailureValue, StatusesAndRetryAfter) {
    struct Case {
        int status;
        std::string retryAfter;
        Failure::Kind kind;
        bool permanent;
        int pauseMs;  // the pause after a 500 ms one
    };
    const Case cases[] = {
        {404, "", Failure::Kind::Refused, true, 500},
        {403, "", Failure::Kind::Refused, true, 500},
        {408, "", Failure::Kind::Refused, false, 500},
        {429, "5", Failure::Kind::Refused, false, 5000},
        {500, "", Failure::Kind::Server, false, 500},
        {503, "120", Failure::Kind::Server, false, kMaxRetryAfterMs},
        {503, "0", Failure::Kind::Server, false, 500},  // never below the worker's own
        {503, "Wed, 21 Oct 2026 07:28:00 GMT", Failure::Kind::Server, false, 500},
        {404, "7", Failure::Kind::Refused, true, 500},  // only 429 and 503 ask for a time
    };
    for (const Case& c : cases) {
        const Failure f = HttpStatusFailure(c.status, "HTTP/1.1 x", c.retryAfter);
        EXPECT_EQ(f.kind, c.kind) << c.status;
        EXPECT_EQ(f.permanent, c.permanent) << c.status;
        EXPECT_EQ(RetryPauseMs(500, f), c.pauseMs) << c.status << " " << c.retryAfter;
    }
}

// A fresh job of four threads: thread 0's first GET gets the status, the others wait for it.
TEST_F(FailFastTest, StatusesEndOrKeepTheAttempts) {
    struct Case {
        int status;
        size_t requests;  // with 3 attempts per thread
        Failure::Kind kind;
        bool permanent;
    };
    const Case cases[] = {
        {404, 1, Failure::Kind::Refused, true},
        {401, 1, Failure::Kind::Refused, true},
        {500, 12, Failure::Kind::Server, false},
    };
    for (const Case& c : cases) {
        FakeHttpOptions options = Serving(4096);
        options.headStatus = c.status;
        options.getStatus = c.status;
        FakeHttpServer server(options);
        settings.attempts = 3;
        auto host = MakeHost(server.Url(), 4);
        host->Fields().options.sizeFromFirstGet = true;
        host->Fields().knowledge.ExpectSizeProbe(true);
        ASSERT_TRUE(testsupport::RunWorkers(*host, 20000));
        EXPECT_EQ(server.Requests().size(), c.requests) << c.status;
        ASSERT_EQ(host->Finished().size(), 4u);
        for (const auto& f : host->Finished()) {
            EXPECT_FALSE(f.ok);
            EXPECT_EQ(f.failure.kind, c.kind) << c.status << " #" << f.threadNumber;
            EXPECT_EQ(f.failure.permanent, c.permanent) << c.status;
            EXPECT_NE(f.failure.text.find(std::to_string(c.status)), std::string::npos)
                << f.failure.text;
        }
    }
}

TEST_F(FailFastTest, RetryAfterIsHonoured) {
    FakeHttpOptions options = Serving(4096);
    options.headStatus = 503;
    options.extraHeaders = "Retry-After: 1\r\n";
    FakeHttpServer server(options);
    settings.attempts = 2;
    auto host = MakeHost(server.Url(), 1);
    host->Fields().options.retryPauseMs = 10;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(testsupport::RunWorkers(*host, 20000));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(server.Requests("HEAD").size(), 2u);
    // The second request waited for the server's second, not the 10 ms of our own.
    EXPECT_GE(ms, 1000);
    ASSERT_EQ(host->Finished().size(), 1u);
    EXPECT_EQ(host->Finished()[0].failure.kind, Failure::Kind::Server);
    EXPECT_EQ(host->Finished()[0].failure.retryAfterSeconds, 1);
}

TEST_F(FailFastTest, RefusedPortIsRetriedAndNamed) {
    const int port = ClosedPort();
    settings.attempts = 2;
    auto host = MakeHost("http://127.0.0.1:" + std::to_string(port) + "/f", 1);
    ASSERT_TRUE(testsupport::RunWorkers(*host, 20000));
    EXPECT_NE(host->LogText(0).find("ATTEMPTION #1"), std::string::npos);
    ASSERT_EQ(host->Finished().size(), 1u);
    const Failure f = host->Finished()[0].failure;
    EXPECT_EQ(f.kind, Failure::Kind::Network);
    EXPECT_FALSE(f.permanent);
    EXPECT_EQ(f.text,
              "cannot connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused");
}

TEST_F(FailFastTest, ServerClosingBeforeTheAnswerIsSaidSo) {
    FakeHttpOptions options = Serving(4096);
    options.rewrite = [](const testsupport::FakeHttpRequest&, const std::string&) {
        return std::string();  // nothing at all: the connection just closes
    };
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 1);
    ASSERT_TRUE(testsupport::RunWorkers(*host, 20000));
    ASSERT_EQ(host->Finished().size(), 1u);
    const Failure f = host->Finished()[0].failure;
    EXPECT_EQ(f.kind, Failure::Kind::Network);
    EXPECT_EQ(f.text, "the connection closed before the server answered HEAD");
}

TEST_F(FailFastTest, UnwritablePartEndsTheJob) {
    FakeHttpOptions options = Serving(4096);
    FakeHttpServer server(options);
    settings.attempts = 3;
    // The part's folder does not exist: no retry can open it.
    target = dir.File("missing/file.bin");
    auto host = MakeHost(server.Url(), 1);
    ASSERT_TRUE(testsupport::RunWorkers(*host, 20000));
    EXPECT_EQ(server.Requests("GET").size(), 1u);
    ASSERT_EQ(host->Finished().size(), 1u);
    const Failure f = host->Finished()[0].failure;
    EXPECT_EQ(f.kind, Failure::Kind::LocalFile);
    EXPECT_TRUE(f.permanent);
    EXPECT_NE(f.text.find("missing/file.bin"), std::string::npos) << f.text;
}
