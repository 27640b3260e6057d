// Fuzz target for the FTP reply reader, fed the input's stream in the chunks the input chooses
// (layout in FuzzSupport.h). After every chunk the status must be the one computed from the
// bytes fed so far: TooLarge past 64 KiB, otherwise Complete exactly when the bytes end in CRLF
// and, for a "NNN-" reply, hold the closing "\r\nNNN " line. The text is exactly the bytes fed
// until then, and chunks after the end change nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "engine/FtpParse.h"

namespace {

using Status = FtpReplyReader::Status;

// What the reader must say after the first `fed` bytes of stream. closingEnd is where the
// first closing line's "NNN " ends in the stream (npos: none, or not a multi-line reply).
Status Expected(const std::string& stream, size_t fed, size_t closingEnd) {
    if (fed > kMaxFtpReplyBytes) return Status::TooLarge;
    const bool endsLine = fed >= 2 && stream[fed - 2] == '\r' && stream[fed - 1] == '\n';
    if (!endsLine) return Status::NeedMore;
    const bool multiLine = fed >= 4 && stream[3] == '-';
    if (multiLine && (closingEnd == std::string::npos || fed < closingEnd)) return Status::NeedMore;
    return Status::Complete;
}

size_t ClosingLineEnd(const std::string& stream) {
    if (stream.size() < 4 || stream[3] != '-') return std::string::npos;
    const std::string marker = "\r\n" + stream.substr(0, 3) + " ";
    const size_t at = stream.find(marker);
    return at == std::string::npos ? at : at + marker.size();
}

void CheckCompleted(const FtpReplyReader& reader) {
    const std::string& text = reader.Text();
    FUZZ_CHECK(text.size() <= kMaxFtpReplyBytes);
    FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
    if (text.size() >= 4 && text[3] == '-') {
        // The closing line starts a line after the first one and is ended by a CRLF.
        const size_t at = text.find("\r\n" + text.substr(0, 3) + " ");
        FUZZ_CHECK(at != std::string::npos);
        FUZZ_CHECK(text.find("\r\n", at + 2) != std::string::npos);
    }
    const int code = reader.Code();
    FUZZ_CHECK(code == FtpReplyCode(text));
    FUZZ_CHECK(code >= -999999 && code <= 999999);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ChunkedInput in(data, size);
    const std::string& stream = in.stream;
    const size_t closingEnd = ClosingLineEnd(stream);

    FtpReplyReader reader;
    size_t fed = 0;
    Status last = Status::NeedMore;
    for (std::string_view chunk : in.chunks) {
        const Status before = last;
        const size_t textSize = reader.Text().size();
        const Status status = reader.Feed(chunk);
        last = status;
        if (before != Status::NeedMore) {
            FUZZ_CHECK(status == before);
            FUZZ_CHECK(reader.Text().size() == textSize);
            continue;
        }
        fed += chunk.size();
        FUZZ_CHECK(status == Expected(stream, fed, closingEnd));
        if (status != Status::TooLarge) FUZZ_CHECK(reader.Text().size() == fed);
    }
    if (last != Status::TooLarge) {
        FUZZ_CHECK(std::string_view(reader.Text()) == std::string_view(stream).substr(0, fed));
    }
    if (last == Status::Complete) CheckCompleted(reader);

    // The same stream in one piece.
    FtpReplyReader whole;
    const Status status = whole.Feed(stream);
    FUZZ_CHECK(status == Expected(stream, stream.size(), closingEnd));
    if (status == Status::Complete) CheckCompleted(whole);
    return 0;
}
