#pragma once
// Decoder for "Transfer-Encoding: chunked" bodies, free of sockets: the data loop passes every
// chunk it receives through it and writes only the data it returns, never the framing.
// Strict: a chunk size is 1 to 15 hex digits, lines end in CR LF (or LF), extensions and
// trailers are bounded. Pure code: one decoder per connection, any thread.
#include <cstddef>
#include <cstdint>
#include <string>

class HttpChunkDecoder {
public:
    enum class State { Body, Done, Bad };

    // Decodes size bytes in place: the data bytes they hold are moved to the front of data and
    // their count is returned. Bytes after the last chunk's trailers are dropped. Once Done or
    // Bad, returns 0.
    size_t Decode(char* data, size_t size);
    State GetState() const { return state; }
    // Why the body was refused (when Bad).
    const std::string& Error() const { return error; }

private:
    enum class Step { Size, Extension, SizeLf, Data, DataCr, DataLf, Trailer, TrailerLf };
    void Fail(const char* why);

    State state = State::Body;
    Step step = Step::Size;
    int sizeDigits = 0;
    int64_t chunkLeft = 0;
    size_t lineBytes = 0;     // extension or trailer bytes in the current line
    size_t trailerBytes = 0;  // all trailer bytes so far
    bool lineEmpty = true;    // the current trailer line has no bytes yet
    std::string error;
};
