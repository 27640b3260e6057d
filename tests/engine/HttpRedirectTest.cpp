// Redirects: where a Location leads, and the engine following them on HEAD and GET with the
// final URL shared by every thread, the hop limit and the schemes it refuses.
#include <gtest/gtest.h>

#include "HttpTestFixture.h"
#include "engine/HttpRedirect.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;
using testsupport::FileExists;

TEST(ResolveLocation, Forms) {
    const std::string base = "http://h:81/a/b/c.bin?q=1";
    const std::pair<const char*, const char*> cases[] = {
        {"https://x/y", "https://x/y"},
        {"//x:8/y", "http://x:8/y"},
        {"/z", "http://h:81/z"},
        {"d.bin", "http://h:81/a/b/d.bin"},
        {"../d.bin?r", "http://h:81/a/d.bin?r"},
        {"../../../d", "http://h:81/d"},
        {"./e/", "http://h:81/a/b/e/"},
        {"?r=2", "http://h:81/a/b/c.bin?r=2"},
        {"/z#frag", "http://h:81/z"},
        {"ftp://f/x", "ftp://f/x"},
    };
    for (const auto& [location, want] : cases) {
        EXPECT_EQ(ResolveLocation(base, location), want) << location;
    }
    EXPECT_EQ(ResolveLocation("http://h", "x"), "http://h/x");
    EXPECT_EQ(ResolveLocation("no url", "x"), "");
    EXPECT_EQ(ResolveLocation(base, ""), "");
}

TEST_F(HttpEngineTest, RedirectOnHeadLeadsEveryThreadToTheFinalUrl) {
    FakeHttpOptions options = Serving(3000);
    options.headStatus = 301;
    options.scriptedTarget = "/file.bin";
    options.location = "final.bin?x=1";
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 3);
    ASSERT_TRUE(testsupport::RunWorkers(*host));

    std::string joined;
    for (int i = 0; i < 3; ++i) joined += Part(i);
    EXPECT_EQ(joined, server.Body());
    EXPECT_EQ(host->Fields().knowledge.Size(), 3000);  // not the redirect page's length
    EXPECT_EQ(host->Fields().CurrentUrl(), server.Url("/final.bin?x=1"));
    for (const auto& get : server.Requests("GET")) EXPECT_EQ(get.target, "/final.bin?x=1");
    EXPECT_NE(
        host->LogText(0).find("Redirect 1 of 10 (status 301) to " + server.Url("/final.bin?x=1")),
        std::string::npos);
}

TEST_F(HttpEngineTest, RedirectOnGetIsFollowedAndItsPageNeverWritten) {
    FakeHttpOptions options = Serving(2000);
    options.getStatus = 307;
    options.scriptedTarget = "/file.bin";
    options.location = "/moved.bin";
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 2);
    host->Fields().knowledge.LearnSize(2000);  // as if another thread had asked
    host->Fields().knowledge.LearnRangeSupport(1);
    ASSERT_TRUE(RunAttempt(*host, 1));
    EXPECT_EQ(Part(1), server.Body().substr(1000));
    auto gets = server.Requests("GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[1].target, "/moved.bin");
    EXPECT_EQ(gets[1].range, "bytes=0-1999");  // segment 0 as the lead window
}

TEST_F(HttpEngineTest, RedirectsThatAreNotFollowed) {
    struct Case {
        std::string location;
        bool httpsAllowed;
        std::string logged;
    } cases[] = {
        {"https://127.0.0.1:1/x", false, "https:// URLs are not fetched here"},
        {"ftp://127.0.0.1:1/x", true, "only http:// and https:// are followed"},
        {"/file.bin", true, "More than 2 redirects"},
    };
    for (const Case& c : cases) {
        FakeHttpOptions options = Serving(1000);
        options.headStatus = 302;
        options.location = c.location;
        FakeHttpServer server(options);
        auto host = MakeHost(server.Url(), 1);
        host->Fields().options.httpsAllowed = c.httpsAllowed;
        host->Fields().options.maxRedirects = 2;
        EXPECT_FALSE(RunAttempt(*host, 0)) << c.location;
        EXPECT_FALSE(FileExists(target)) << c.location;
        EXPECT_NE(host->LogText(0).find(c.logged), std::string::npos) << host->LogText(0);
        EXPECT_EQ(host->Fields().knowledge.Size(), -1);
    }
}

TEST_F(HttpEngineTest, CredentialsAreNotSentToAnotherServer) {
    FakeHttpServer other(Serving(500));
    FakeHttpOptions options = Serving(500);
    options.headStatus = 302;
    options.location = other.Url("/file.bin");
    FakeHttpServer first(options);
    settings.useauthorization = true;
    auto host = MakeHost(first.Url(), 1);
    ASSERT_TRUE(testsupport::RunWorkers(*host));
    EXPECT_EQ(Part(0), other.Body());
    EXPECT_NE(first.Requests()[0].text.find("Authorization: Basic "), std::string::npos);
    for (const auto& r : other.Requests()) {
        EXPECT_EQ(r.text.find("Authorization"), std::string::npos) << r.text;
    }
}
