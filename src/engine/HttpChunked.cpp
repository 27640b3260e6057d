#include "engine/HttpChunked.h"

#include <cstring>

namespace {

constexpr int kMaxSizeDigits = 15;  // below 2^60: no overflow, far beyond any real chunk
constexpr size_t kMaxExtensionBytes = 4096;
constexpr size_t kMaxTrailerBytes = 64 * 1024;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void HttpChunkDecoder::Fail(const char* why) {
    state = State::Bad;
    error = why;
}

size_t HttpChunkDecoder::Decode(char* data, size_t size) {
    size_t out = 0;
    size_t at = 0;
    while (at < size && state == State::Body) {
        const char c = data[at];
        switch (step) {
            case Step::Size: {
                const int digit = HexValue(c);
                if (digit >= 0) {
                    if (++sizeDigits > kMaxSizeDigits) {
                        Fail("chunk size too long");
                        return out;
                    }
                    chunkLeft = chunkLeft * 16 + digit;
                } else if (sizeDigits == 0) {
                    Fail("chunk size is not a hex number");
                    return out;
                } else if (c == ';' || c == ' ' || c == '\t') {
                    step = Step::Extension;
                    lineBytes = 0;
                } else if (c == '\r') {
                    step = Step::SizeLf;
                } else if (c == '\n') {
                    step = chunkLeft > 0 ? Step::Data : Step::Trailer;
                } else {
                    Fail("chunk size is not a hex number");
                    return out;
                }
                ++at;
                break;
            }
            case Step::Extension:
                if (c == '\r') {
                    step = Step::SizeLf;
                } else if (c == '\n') {
                    step = chunkLeft > 0 ? Step::Data : Step::Trailer;
                } else if (++lineBytes > kMaxExtensionBytes) {
                    Fail("chunk extension too long");
                    return out;
                }
                ++at;
                break;
            case Step::SizeLf:
                if (c != '\n') {
                    Fail("chunk size line not ended by CR LF");
                    return out;
                }
                step = chunkLeft > 0 ? Step::Data : Step::Trailer;
                ++at;
                break;
            case Step::Data: {
                size_t take = size - at;
                if (static_cast<int64_t>(take) > chunkLeft) take = static_cast<size_t>(chunkLeft);
                std::memmove(data + out, data + at, take);
                out += take;
                at += take;
                chunkLeft -= static_cast<int64_t>(take);
                if (chunkLeft == 0) step = Step::DataCr;
                break;
            }
            case Step::DataCr:
                if (c == '\n') {
                    step = Step::Size;
                } else if (c == '\r') {
                    step = Step::DataLf;
                } else {
                    Fail("chunk data not followed by CR LF");
                    return out;
                }
                sizeDigits = 0;
                ++at;
                break;
            case Step::DataLf:
                if (c != '\n') {
                    Fail("chunk data not followed by CR LF");
                    return out;
                }
                step = Step::Size;
                ++at;
                break;
            case Step::Trailer:
                if (++trailerBytes > kMaxTrailerBytes) {
                    Fail("trailer too long");
                    return out;
                }
                if (c == '\n' || c == '\r') {
                    if (c == '\n' && lineEmpty) {
                        state = State::Done;
                    } else if (c == '\r') {
                        step = Step::TrailerLf;
                    } else {
                        lineEmpty = true;
                    }
                } else {
                    lineEmpty = false;
                }
                ++at;
                break;
            case Step::TrailerLf:
                if (c != '\n') {
                    Fail("trailer line not ended by CR LF");
                    return out;
                }
                if (lineEmpty) {
                    state = State::Done;
                } else {
                    lineEmpty = true;
                    step = Step::Trailer;
                }
                ++at;
                break;
        }
    }
    return out;
}
