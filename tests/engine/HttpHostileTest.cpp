// Sloppy and hostile HTTP servers: each answer either gives the exact file or a failed attempt
// with a log line, and a part file never holds a byte that is not the file's.
#include <chrono>
#include <cstdio>
#include <functional>

#include "HttpTestFixture.h"
#include "support/FakeHttpServer.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpRequest;
using testsupport::FakeHttpServer;

namespace {

constexpr size_t kSize = 40007;
constexpr int kThreads = 4;

// Splits an answer into its header block and body.
std::pair<std::string, std::string> SplitAnswer(const std::string& answer) {
    const size_t end = answer.find("\r\n\r\n") + 4;
    return {answer.substr(0, end), answer.substr(end)};
}

std::string Chunked(const std::string& body) {
    return testsupport::ChunkedBody(body);
}

std::string AddField(const std::string& answer, const std::string& field) {
    auto [header, body] = SplitAnswer(answer);
    return header.substr(0, header.size() - 2) + field + "\r\n\r\n" + body;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

bool IsRangeAfterZero(const FakeHttpRequest& r) {
    return r.method == "GET" && !r.range.empty() && r.range.rfind("bytes=0-", 0) != 0;
}

struct HostileCase {
    const char* name;
    FakeHttpOptions::AcceptRanges ranges;
    std::function<std::string(const FakeHttpRequest&, const std::string&)> rewrite;
    bool succeeds;
    const char* logged;    // on some thread; "" for none
    bool resumed = false;  // part 1 already holds 6000 bytes of its segment
};

const std::string kSizeText = std::to_string(kSize);

const HostileCase kCases[] = {
    {"Chunked206", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         if (r.method != "GET") return a;
         auto [header, body] = SplitAnswer(a);
         return AddField(header, "Transfer-Encoding: chunked") + Chunked(body);
     },
     true, ""},
    {"Chunked200WithoutRanges", FakeHttpOptions::AcceptRanges::Absent,
     [](const FakeHttpRequest& r, const std::string& a) {
         if (r.method != "GET") return a;
         auto [header, body] = SplitAnswer(a);
         return AddField(header, "Transfer-Encoding: Chunked") + Chunked(body);
     },
     true, ""},
    {"Chunked206Resumed", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         if (r.method != "GET") return a;
         auto [header, body] = SplitAnswer(a);
         return AddField(header, "Transfer-Encoding: chunked") + Chunked(body);
     },
     true, "", true},
    {"BadChunkSize", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         if (r.method != "GET") return a;
         auto [header, body] = SplitAnswer(a);
         return AddField(header, "Transfer-Encoding: chunked") + "+3e8\r\n" + body;
     },
     false, "Bad chunked body: chunk size is not a hex number"},
    {"GzipCodingRefused", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         return r.method == "GET" ? AddField(a, "Transfer-Encoding: gzip") : a;
     },
     false, "Transfer-Encoding gzip is not supported"},
    {"ChunkedAnyCaseAndBlanks", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         if (r.method != "GET") return a;
         auto [header, body] = SplitAnswer(a);
         return AddField(header, "transfer-encoding: \tCHUNKED ") + Chunked(body);
     },
     true, ""},
    // Framing that this engine and the server would read in different ways: nothing of such
    // a body may reach a part file, chunk sizes least of all.
    {"BlankBeforeColon", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         if (r.method != "GET") return a;
         auto [header, body] = SplitAnswer(a);
         return AddField(header, "Transfer-Encoding : chunked") + Chunked(body);
     },
     false, "Malformed header line: Transfer-Encoding : chunked"},
    {"FoldedCoding", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         if (r.method != "GET") return a;
         auto [header, body] = SplitAnswer(a);
         return AddField(header, "Transfer-Encoding: gzip,\r\n chunked") + Chunked(body);
     },
     false, "Malformed header line:  chunked"},
    {"ChunkedThenGzipFields", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         if (r.method != "GET") return a;
         auto [header, body] = SplitAnswer(a);
         return AddField(AddField(header, "Transfer-Encoding: chunked"),
                         "Transfer-Encoding: gzip") +
                Chunked(body);
     },
     false, "Transfer-Encoding chunked, gzip is not supported"},
    {"ChunkedTwice", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         if (r.method != "GET") return a;
         auto [header, body] = SplitAnswer(a);
         return AddField(header, "Transfer-Encoding: chunked, chunked") + Chunked(Chunked(body));
     },
     false, "Transfer-Encoding chunked, chunked is not supported"},
    {"IdentityRefused", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         return r.method == "GET" ? AddField(a, "Transfer-Encoding: identity") : a;
     },
     false, "Transfer-Encoding identity is not supported"},
    {"HeadSmallerThanRangeTotals", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         return r.method == "HEAD" ? Replace(a, "Content-Length: " + kSizeText,
                                             "Content-Length: " + std::to_string(kSize - 1000))
                                   : a;
     },
     false, "Content-Range gives a file of 40007 bytes, not 39007"},
    {"TwoContentLengthsInHead", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         return r.method == "HEAD" ? Replace(a, "Content-Length:",
                                             "Content-Length: 20003\r\n"
                                             "Content-Length:")
                                   : a;
     },
     false, "HEAD answer holds differing Content-Length fields"},
    {"TwoContentLengthsInData", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         return r.method == "GET" ? AddField(a, "Content-Length: 7") : a;
     },
     false, "Answer holds differing Content-Length fields"},
    {"FileChangedAfterByteZero", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest& r, const std::string& a) {
         return IsRangeAfterZero(r) ? Replace(a, "/" + kSizeText + "\r\n", "/50011\r\n") : a;
     },
     false, "Content-Range gives a file of 50011 bytes, not 40007"},
    {"WholeBodyOfAnotherSize", FakeHttpOptions::AcceptRanges::Absent,
     [](const FakeHttpRequest& r, const std::string& a) {
         return r.method == "GET"
                    ? Replace(a, "Content-Length: " + kSizeText, "Content-Length: 50011")
                    : a;
     },
     false, "Content-Length 50011 is not the file size 40007"},
    {"BareLfHeaderLines", FakeHttpOptions::AcceptRanges::Bytes,
     [](const FakeHttpRequest&, const std::string& a) {
         auto [header, body] = SplitAnswer(a);
         std::string lf;
         for (char c : header) {
             if (c != '\r') lf += c;
         }
         return lf + body;
     },
     true, ""},
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HttpHostileTest : public HttpEngineTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HttpHostileTest, ExactFileOrFailedAttemptNeverWrongBytes) {
    const HostileCase& c = GetParam();
    FakeHttpOptions options = Serving(kSize);
    // An empty line inside every segment: a block end found past the real one would shift it.
    for (int i = 0; i < kThreads; ++i)
        options.body.replace(i * (kSize / kThreads) + 100, 4, "\r\n\r\n");
    options.acceptRanges = c.ranges;
    options.rewrite = c.rewrite;
    FakeHttpServer server(options);
    settings.attempts = 2;
    auto host = MakeHost(server.Url(), kThreads);
    if (c.resumed) {
        testsupport::WriteFileBytes(PartName(1), options.body.substr(kSize / kThreads, 6000));
    }
    ASSERT_TRUE(testsupport::RunWorkers(*host));

    std::string joined;
    std::string log;
    for (int i = 0; i < kThreads; ++i) {
        log += host->LogText(i);
        const int64_t length = kSize / kThreads;
        const std::string segment =
            c.ranges == FakeHttpOptions::AcceptRanges::Absent
                ? (i == 0 ? options.body : "")
                : options.body.substr(i * length, i == kThreads - 1 ? std::string::npos : length);
        const std::string part = Part(i);
        // Whatever happened, a part holds a prefix of its segment.
        EXPECT_EQ(part, segment.substr(0, part.size())) << "part " << i;
        joined += part;
    }
    bool anyFailed = false;
    for (const auto& f : host->Finished()) anyFailed = anyFailed || !f.ok;
    if (c.resumed) {
        // The resume re-reads the part's last 4096 bytes as its seam, through the decoder.
        const std::string range = "bytes=" + std::to_string(kSize / kThreads + 6000 - 4096) + "-";
        bool asked = false;
        for (const auto& r : server.Requests("GET")) asked = asked || r.range.rfind(range, 0) == 0;
        EXPECT_TRUE(asked) << log;
    }
    if (c.succeeds) {
        EXPECT_FALSE(anyFailed) << log;
        EXPECT_EQ(joined, options.body);
    } else {
        EXPECT_TRUE(anyFailed);
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, HttpHostileTest, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(HttpEngineTest, TricklingHeaderEndsWithinTheStallLimit) {
    FakeHttpOptions options = Serving(1000);
    options.trickleMs = 100;  // a byte every 100 ms: each read is quick, the block is not
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 1);
    host->Fields().options = JobOptions{2000, 600, 0};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(RunAttempt(*host, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(host->LogText(0).find("No complete header block within the stall limit"),
              std::string::npos);
}

TEST_F(HttpEngineTest, EmptyRemoteFileFailsWithItsReason) {
    FakeHttpServer server(Serving(0));
    auto host = MakeHost(server.Url(), 1);
    EXPECT_FALSE(RunAttempt(*host, 0));
    EXPECT_NE(host->LogText(0).find("The remote file is empty (0 bytes)"), std::string::npos);
    EXPECT_TRUE(server.Requests("GET").empty());
}

}  // namespace
