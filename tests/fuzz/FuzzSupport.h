#pragma once
// Shared by the fuzz targets and their replay test: an invariant check that aborts (libFuzzer
// then saves the input, the replay test fails), and the split of one input into a byte stream
// and the reads it arrives in. Single-threaded: each target runs one input at a time.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

[[noreturn]] inline void FuzzFail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, what);
    std::abort();
}

// Unlike assert, stays on in release builds.
#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : FuzzFail(#cond, __FILE__, __LINE__))

// Stream length reached by the "repeat" flag: above the 64 KiB reply and header caps.
inline constexpr size_t kRepeatBytes = 70 * 1024;

// One input seen as a stream that arrives in chunks of varying size. Input layout:
//   byte 0    bits 0-3: n, the number of chunk-size bytes that follow (0: one chunk);
//             bit 6: sizes count in units of 256 bytes; bit 7: repeat the stream until it holds
//             at least kRepeatBytes (so short inputs reach the caps)
//   1..n      chunk sizes, used in turn and then again from the first; a 0 is an empty read in
//             the first round and skipped afterwards (so the split always ends)
//   the rest  the stream
// The chunks are views into stream, in order, and cover it exactly.
struct ChunkedInput {
    std::string stream;
    std::vector<std::string_view> chunks;

    ChunkedInput(const uint8_t* data, size_t size) {
        size_t flags = size > 0 ? data[0] : 0;
        size_t count = flags & 0x0f;
        size_t skip = size > 0 ? 1 : 0;
        if (count > size - skip) count = size - skip;
        const uint8_t* sizeBytes = data + skip;
        stream.assign(reinterpret_cast<const char*>(data) + skip + count, size - skip - count);
        if ((flags & 0x80) != 0 && !stream.empty()) {
            const std::string once = stream;
            while (stream.size() < kRepeatBytes) stream += once;
        }
        const size_t unit = (flags & 0x40) != 0 ? 256 : 1;
        size_t total = 0;
        for (size_t i = 0; i < count; ++i) total += sizeBytes[i];
        const std::string_view all(stream);
        if (total == 0) {
            chunks.push_back(all);
            return;
        }
        size_t pos = 0;
        for (size_t round = 0; pos < all.size(); ++round) {
            for (size_t i = 0; i < count && pos < all.size(); ++i) {
                if (sizeBytes[i] == 0 && round > 0) continue;
                const size_t length = sizeBytes[i] * unit;
                chunks.push_back(all.substr(pos, length));
                pos += chunks.back().size();
            }
        }
    }
    ChunkedInput(const ChunkedInput&) = delete;  // chunks point into stream
    ChunkedInput& operator=(const ChunkedInput&) = delete;
};
