#include <gtest/gtest.h>

#include "engine/HttpParse.h"

namespace {

const std::string kBlock =
    "HTTP/1.1 206 Partial Content\r\nContent-Length: 10\r\n"
    "Content-Range: bytes 0-9/20\r\n\r\n";
const std::string kBody = "0123456789";

}  // namespace

// The terminator may be cut anywhere by the reads; every two-piece split must give the same
// block, and the body bytes that came with the completing piece.
TEST(HttpHeaderReaderTest, EveryTwoPieceSplit) {
    const std::string text = kBlock + kBody;
    for (size_t i = 1; i < text.size(); ++i) {
        HttpHeaderReader reader;
        auto state = reader.Feed(text.data(), i);
        if (i < kBlock.size()) {
            ASSERT_EQ(state, HttpHeaderReader::State::NeedMore) << i;
            state = reader.Feed(text.data() + i, text.size() - i);
            ASSERT_EQ(reader.Leftover(), kBody) << i;
        } else {
            ASSERT_EQ(reader.Leftover(), text.substr(kBlock.size(), i - kBlock.size())) << i;
        }
        ASSERT_EQ(state, HttpHeaderReader::State::Complete) << i;
        ASSERT_EQ(reader.Header(), kBlock) << i;
    }
}

TEST(HttpHeaderReaderTest, TerminatorSpreadOverThreeReadsAndSingleBytes) {
    const std::string text = kBlock + kBody;
    size_t end = kBlock.size();
    for (size_t i = end - 4; i < end; ++i) {
        for (size_t j = i + 1; j <= end; ++j) {
            HttpHeaderReader reader;
            reader.Feed(text.data(), i);
            reader.Feed(text.data() + i, j - i);
            reader.Feed(text.data() + j, text.size() - j);
            ASSERT_EQ(reader.GetState(), HttpHeaderReader::State::Complete) << i << "," << j;
            ASSERT_EQ(reader.Header(), kBlock);
            // Body bytes count only when they came with the end of the block.
            ASSERT_EQ(reader.Leftover(), j == end ? "" : kBody);
        }
    }
    HttpHeaderReader bytewise;
    for (char c : kBlock) bytewise.Feed(&c, 1);
    EXPECT_EQ(bytewise.GetState(), HttpHeaderReader::State::Complete);
    EXPECT_EQ(bytewise.Header(), kBlock);
    EXPECT_EQ(bytewise.Leftover(), "");
}

TEST(HttpHeaderReaderTest, CapAt64KiB) {
    auto blockOfSize = [](size_t size) {
        std::string head = "HTTP/1.0 200 OK\r\nX: ";
        return head + std::string(size - head.size() - 4, 'a') + "\r\n\r\n";
    };
    HttpHeaderReader atLimit;
    std::string block = blockOfSize(HttpHeaderReader::kMaxHeaderBytes);
    EXPECT_EQ(atLimit.Feed(block.data(), block.size()), HttpHeaderReader::State::Complete);

    HttpHeaderReader overLimit;
    block = blockOfSize(HttpHeaderReader::kMaxHeaderBytes + 1);
    EXPECT_EQ(overLimit.Feed(block.data(), block.size()), HttpHeaderReader::State::TooLarge);

    // Without an end, refused once the limit is reached, in 1024-byte reads.
    HttpHeaderReader endless;
    std::string chunk(1024, 'b');
    int reads = 0;
    while (endless.Feed(chunk.data(), chunk.size()) == HttpHeaderReader::State::NeedMore) {
        ASSERT_LT(++reads, 100);
    }
    EXPECT_EQ(endless.GetState(), HttpHeaderReader::State::TooLarge);
    EXPECT_EQ(reads + 1, 64);
}

TEST(HttpParseTest, StatusCode) {
    EXPECT_EQ(HttpStatusCode("HTTP/1.1 206 Partial Content\r\n\r\n"), 206);
    EXPECT_EQ(HttpStatusCode("HTTP/1.0 200\r\n\r\n"), 200);
    EXPECT_EQ(HttpStatusCode("HTTP/1.0 abc\r\n\r\n"), -1);
    EXPECT_EQ(HttpStatusCode("garbage\r\n\r\n"), -1);
}

TEST(HttpParseTest, ContentLength) {
    auto length = [](const std::string& field) {
        return HttpContentLength("HTTP/1.0 200 OK\r\n" + field + "\r\n\r\n");
    };
    EXPECT_EQ(length("Content-Length: 48213"), 48213);
    EXPECT_EQ(length("content-length:\t 7 "), 7);
    EXPECT_EQ(length("Content-Length: 6442450944"), 6442450944LL);
    EXPECT_EQ(length("Content-Length: -5"), -1);
    EXPECT_EQ(length("Content-Length: abc"), -1);
    EXPECT_EQ(length("Content-Length: 12abc"), -1);
    EXPECT_EQ(length("Content-Length: 99999999999999999999"), -1);
    EXPECT_EQ(length("Content-Length:"), -1);
    // Only a field of that name counts, not one that ends with it.
    EXPECT_EQ(length("X-Content-Length: 5"), -1);
    // Several lengths count only when they all agree.
    EXPECT_EQ(length("Content-Length: 5\r\ncontent-length: 5"), 5);
    EXPECT_EQ(length("Content-Length: 5, 5"), 5);
    for (const char* two :
         {"Content-Length: 150003\r\nContent-Length: 300007", "Content-Length: 5, 6"}) {
        EXPECT_EQ(length(two), -1) << two;
        EXPECT_TRUE(
            HttpContentLengthsDisagree("HTTP/1.0 200 OK\r\n" + std::string(two) + "\r\n\r\n"));
    }
    EXPECT_FALSE(HttpContentLengthsDisagree("HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n"));
}

// Servers that end lines with LF alone end the block with LF LF; the first empty line of
// either kind ends it, and what follows is body.
TEST(HttpHeaderReaderTest, BareLfAndMixedLineEnds) {
    const std::string blocks[] = {"HTTP/1.0 200 OK\nContent-Length: 4\n\n",
                                  "HTTP/1.0 200 OK\r\nContent-Length: 4\n\r\n",
                                  "HTTP/1.0 200 OK\nContent-Length: 4\r\n\n"};
    const std::string body = "ab\r\n\r\ncd";
    for (const std::string& block : blocks) {
        for (size_t split = 1; split < block.size() + body.size(); ++split) {
            const std::string text = block + body;
            HttpHeaderReader reader;
            reader.Feed(text.data(), split);
            reader.Feed(text.data() + split, text.size() - split);
            ASSERT_EQ(reader.Header(), block) << split;
            // Body bytes come with the read that completed the block.
            const std::string expected =
                split < block.size() ? body : text.substr(block.size(), split - block.size());
            ASSERT_EQ(reader.Leftover(), expected) << split;
            EXPECT_EQ(HttpContentLength(reader.Header()), 4);
        }
    }
}

TEST(HttpParseTest, RangeSupport) {
    auto support = [](const std::string& fields) {
        return HttpRangeSupport("HTTP/1.0 200 OK\r\n" + fields + "\r\n");
    };
    EXPECT_EQ(support("Accept-Ranges: bytes\r\n"), 1);
    EXPECT_EQ(support("accept-ranges:   none  \r\n"), 0);
    EXPECT_EQ(support("Accept-Ranges: None\r\n"), 1);  // the value is compared with case
    EXPECT_EQ(support("Content-Length: 5\r\n"), 0);
    EXPECT_EQ(support("Accept-Ranges:\r\n"), 1);
}

TEST(HttpParseTest, ContentRange) {
    HttpContentRange range;
    ASSERT_TRUE(
        HttpParseContentRange("HTTP/1.1 206 P\r\nContent-Range: bytes 500-749/1000\r\n", range));
    EXPECT_EQ(range.first, 500);
    EXPECT_EQ(range.last, 749);
    EXPECT_EQ(range.total, 1000);
    ASSERT_TRUE(HttpParseContentRange("HTTP/1.1 206 P\r\ncontent-range: Bytes 0-0/*\r\n", range));
    EXPECT_EQ(range.first, 0);
    EXPECT_EQ(range.total, -1);
    for (const char* bad :
         {"Content-Range: bytes 500-/1000", "Content-Range: bytes */1000",
          "Content-Range: 500-749/1000", "Content-Range: bytes 9-3/10", "Content-Length: 5"}) {
        EXPECT_FALSE(HttpParseContentRange(std::string("HTTP/1.1 206 P\r\n") + bad + "\r\n", range))
            << bad;
    }
}

// Which fields make a block ambiguous, and which coding lists are the lone chunked framing.
TEST(HttpParseTest, AmbiguousLinesAndCodingLists) {
    struct Case {
        const char* fields;
        const char* ambiguous;  // "" for none
        const char* codings;    // nullptr: no Transfer-Encoding field
        bool chunked;
    } cases[] = {
        {"Transfer-Encoding: chunked\r\n", "", "chunked", true},
        {"transfer-encoding:\tChunKed \r\n", "", "ChunKed", true},
        {"Transfer-Encoding: chunked\nX-Note: a : b\n", "", "chunked", true},  // bare LF
        {"Transfer-Encoding : chunked\r\n", "Transfer-Encoding : chunked", nullptr, false},
        {"Content-Length\t: 5\r\n", "Content-Length\t: 5", nullptr, false},
        {"X-A: 1\r\n folded\r\n", " folded", nullptr, false},
        {"Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n", "", "chunked, gzip", false},
        {"Transfer-Encoding: gzip, chunked\r\n", "", "gzip, chunked", false},
        {"Transfer-Encoding: chunked, chunked\r\n", "", "chunked, chunked", false},
        {"Transfer-Encoding: chunked,\r\n", "", "chunked,", false},
        {"Transfer-Encoding: identity\r\n", "", "identity", false},
        {"Transfer-Encoding:\r\n", "", "", false},
    };
    for (const Case& c : cases) {
        const std::string block = std::string("HTTP/1.1 200 OK\r\n") + c.fields + "\r\n";
        SCOPED_TRACE(c.fields);
        EXPECT_EQ(HttpAmbiguousFieldLine(block), c.ambiguous);
        std::string codings = "-";
        EXPECT_EQ(HttpTransferCodings(block, codings), c.codings != nullptr);
        if (c.codings == nullptr) continue;
        EXPECT_EQ(codings, c.codings);
        EXPECT_EQ(HttpCodingsAreChunked(codings), c.chunked);
    }
}

TEST(HttpParse, DispositionFilename) {
    const std::pair<const char*, const char*> cases[] = {
        {"Content-Disposition: attachment; filename=\"a b.bin\"\r\n", "a b.bin"},
        {"content-disposition: attachment;filename=plain.bin; size=3\r\n", "plain.bin"},
        {"Content-Disposition: attachment; filename=\"q\\\"uote;d.bin\"\r\n", "q\"uote;d.bin"},
        {"Content-Disposition: attachment; filename*=UTF-8''x%20y.bin; filename=z.bin\r\n",
         "x y.bin"},
        {"Content-Disposition: attachment; filename=z.bin; filename*=utf-8'en'%2E%2E\r\n", ".."},
        {"Content-Disposition: attachment; filename=../up.bin\r\n", "../up.bin"},  // as sent
        {"Content-Disposition: inline\r\n", ""},
        {"Content-Disposition: attachment; filename*=broken\r\n", ""},
        {"X-Other: filename=x\r\n", ""},
    };
    for (const auto& [fields, want] : cases) {
        EXPECT_EQ(HttpDispositionFilename(std::string("HTTP/1.1 200 OK\r\n") + fields + "\r\n"),
                  want)
            << fields;
    }
}
