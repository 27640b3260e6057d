// Thread 0 of a fresh job learns the size from its first GET: no HEAD when that reply gives it,
// HEAD on a new connection when it does not. Every download checks the bytes.
#include <algorithm>
#include <functional>

#include "HttpTestFixture.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpRequest;
using testsupport::FakeHttpServer;

namespace {

struct ProbeCase {
    const char* name;
    size_t size;
    int threads;
    std::function<void(FakeHttpOptions&)> script;
    bool ok;
    size_t heads;           // HEAD requests the job sent
    const char* firstLine;  // a line of thread 0's log, "" for none
};

// An answer to the first GET that has neither length nor range: the body ends with the
// connection.
std::string SizelessToFirstGet(const FakeHttpRequest& request, const std::string& answer) {
    if (request.range != "bytes=0-") return answer;
    return "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" +
           answer.substr(answer.find("\r\n\r\n") + 4);
}

// No answer names a size: HEAD has no length, GET sends the body chunked (in 1000-byte chunks,
// without its last chunk when `cut`).
std::string Unsized(const FakeHttpRequest& request, const std::string& answer, bool cut) {
    const size_t end = answer.find("\r\n\r\n");
    std::string head = answer.substr(0, end + 2);
    const size_t length = head.find("Content-Length:");
    head.erase(length, head.find("\r\n", length) + 2 - length);
    if (request.method == "HEAD") return head + "\r\n";
    return head + "Transfer-Encoding: chunked\r\n\r\n" +
           testsupport::ChunkedBody(answer.substr(end + 4), !cut);
}

const char* const kSizelessLine =
    "No file size in the reply: the whole body is fetched over one connection, up to its end\r\n";

const ProbeCase kCases[] = {
    {"RangedReplyGivesTheSize", 30000, 3, [](FakeHttpOptions&) {}, true, 0, ""},
    {"WholeFileReplyGoesToThreadZero", 30000, 3, [](FakeHttpOptions& o) { o.ignoreRanges = true; },
     true, 0, ""},
    {"SizelessReplyFallsBackToHead", 30000, 3,
     [](FakeHttpOptions& o) { o.rewrite = SizelessToFirstGet; }, true, 1,
     "No file size in the reply: asking with HEAD\r\n"},
    {"EmptyFileSaysSo", 0, 1, [](FakeHttpOptions&) {}, false, 0,
     "The remote file is empty (0 bytes): nothing to download\r\n"},
    // Without a size anywhere, thread 0 keeps the body to its end: the connection's close or the
    // last chunk; a chunked body cut short is no file.
    {"ClosedBodyWithoutSize", 30000, 3,
     [](FakeHttpOptions& o) {
         o.ignoreRanges = true;
         o.omitContentLength = true;
     },
     true, 1, kSizelessLine},
    {"ChunkedBodyWithoutSize", 30000, 3,
     [](FakeHttpOptions& o) {
         o.ignoreRanges = true;
         o.rewrite = [](const FakeHttpRequest& r, const std::string& a) {
             return Unsized(r, a, false);
         };
     },
     true, 1, kSizelessLine},
    {"ChunkedBodyCutShort", 30000, 1,
     [](FakeHttpOptions& o) {
         o.ignoreRanges = true;
         o.rewrite = [](const FakeHttpRequest& r, const std::string& a) {
             return Unsized(r, a, true);
         };
     },
     false, 1, kSizelessLine},
    {"RefusalEndsWithoutHead", 30000, 1, [](FakeHttpOptions& o) { o.getStatus = 404; }, false, 0,
     ""},
};

class HttpProbeTest : public HttpEngineTest, public ::testing::WithParamInterface<ProbeCase> {};

}  // namespace

TEST_P(HttpProbeTest, FirstGetFromByteZero) {
    const ProbeCase& c = GetParam();
    FakeHttpOptions options = Serving(c.size);
    c.script(options);
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), c.threads);
    host->Fields().options.sizeFromFirstGet = true;
    host->Fields().options.resplit = false;
    host->Fields().knowledge.ExpectSizeProbe(c.threads > 1);
    ASSERT_TRUE(testsupport::RunWorkers(*host));

    auto requests = server.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].range, "bytes=0-");
    auto log = host->LogLines(0);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1], requests[0].text);  // as sent
    EXPECT_EQ(server.Requests("HEAD").size(), c.heads);
    if (c.firstLine[0] != '\0')
        EXPECT_NE(std::find(log.begin(), log.end(), c.firstLine), log.end());

    bool ok = true;
    for (const auto& call : host->Finished()) ok = ok && call.ok;
    EXPECT_EQ(ok, c.ok);
    if (!c.ok) return;
    // The parts hold the file: one segment per thread, or all of it in thread 0's.
    std::string joined;
    for (int i = 0; i < c.threads; ++i) joined += Part(i);
    EXPECT_EQ(joined, server.Body());
    EXPECT_EQ(host->Fields().knowledge.Size(), static_cast<int64_t>(c.size));
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpProbeTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });
