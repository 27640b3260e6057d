#include <gtest/gtest.h>

#include <string>

#include "engine/HttpChunked.h"

namespace {

using State = HttpChunkDecoder::State;

// Decodes the body in two pieces split at `split`.
std::string DecodeSplit(const std::string& body, size_t split, HttpChunkDecoder& decoder) {
    std::string first = body.substr(0, split);
    std::string second = body.substr(split);
    std::string out(first.data(), decoder.Decode(first.data(), first.size()));
    out.append(second.data(), decoder.Decode(second.data(), second.size()));
    return out;
}

}  // namespace

// Whatever the reads cut, only the data comes out: never a size line, CR LF or trailer.
TEST(HttpChunkDecoderTest, DataOnlyAtEverySplit) {
    const struct {
        std::string body;
        std::string data;
    } cases[] = {
        {"3e8\r\n" + std::string(1000, 'x') + "\r\n0\r\n\r\n", std::string(1000, 'x')},
        {"4;name=v\r\nab\r\n\r\n3\r\ncde\r\n0\r\nX-T: 1\r\nY: 2\r\n\r\nafter", "ab\r\ncde"},
        {"A\n0123456789\n0\n\n", "0123456789"},
        {"00000002 \r\nhi\r\n0\r\n\r\n", "hi"},
    };
    for (const auto& c : cases) {
        for (size_t split = 0; split <= c.body.size(); ++split) {
            HttpChunkDecoder decoder;
            ASSERT_EQ(DecodeSplit(c.body, split, decoder), c.data) << c.body << " @" << split;
            ASSERT_EQ(decoder.GetState(), State::Done) << split;
        }
    }
}

TEST(HttpChunkDecoderTest, MalformedFramingIsRefused) {
    const struct {
        std::string body;
        const char* error;
    } cases[] = {
        {"zz\r\n", "chunk size is not a hex number"},
        {"-3\r\nabc\r\n", "chunk size is not a hex number"},
        {"3x\r\nabc\r\n", "chunk size is not a hex number"},
        {"1000000000000000\r\n", "chunk size too long"},
        {"3\rabc", "chunk size line not ended by CR LF"},
        {"3\r\nabcd\r\n", "chunk data not followed by CR LF"},
        {"1;" + std::string(5000, 'e') + "\r\n", "chunk extension too long"},
        {"0\r\n" + std::string(70000, 't'), "trailer too long"},
    };
    for (const auto& c : cases) {
        HttpChunkDecoder decoder;
        std::string body = c.body;
        decoder.Decode(body.data(), body.size());
        EXPECT_EQ(decoder.GetState(), State::Bad) << c.body.substr(0, 20);
        EXPECT_EQ(decoder.Error(), c.error) << c.body.substr(0, 20);
    }
    // Incomplete is not bad: more may come.
    HttpChunkDecoder partial;
    std::string body = "5\r\nab";
    EXPECT_EQ(partial.Decode(body.data(), body.size()), 2u);
    EXPECT_EQ(partial.GetState(), State::Body);
}
