#pragma once
// Segment: the bytes one attempt fetches into one part file, and the pure functions that plan
// it. A range's part file holds its bytes from ownStart; `done` of them are in hand, the fetch
// goes on from Start() up to `end`, which moves down when another thread takes the upper part.
#include <cstdint>

struct Segment {
    int64_t ownStart = 0;  // the range's first byte: byte 0 of its part file
    int64_t end = 0;       // one past the last byte
    int64_t done = 0;      // bytes the part file holds
    // Bytes asked for before Start(): the end of what is in hand, compared before anything is
    // appended, or (seamIsLead) the end of the previous range, kept for the join's check.
    int64_t seamBytes = 0;
    bool seamIsLead = false;
    // The part's record (same remote file, same start, a validator) vouches for its bytes.
    bool vouched = false;

    int64_t Start() const { return ownStart + done; }
    int64_t Length() const { return end - ownStart; }
    int64_t Remaining() const { return end - Start(); }
    int64_t RequestStart() const { return Start() - seamBytes; }
    // Nothing left to fetch nor to check.
    bool Complete() const { return Remaining() <= 0 && seamBytes == 0; }
};

// Bytes a resumed segment fetches again from just before its resume point.
inline constexpr int64_t kSeamBytes = 4096;

// First segment `index` of a file split into threadCount (the last one takes the remainder).
Segment FirstSegment(int64_t fileSize, int threadCount, int index);
// The range [start, end) with nothing in hand.
Segment RangeSegment(int64_t start, int64_t end);
// The whole file from byte 0 with nothing in hand: a server without ranges.
Segment WholeFileSegment(int64_t fileSize);

// What to do with a part file longer than its range.
enum class PartExcess { None, CutToRange, FetchAgain };
// A longer part holds leftovers of another split: the target (range 0) is cut, since it may be
// the user's file; any other part is fetched again. Without ranges nothing is split.
PartExcess ExcessOf(const Segment& range, int64_t partSize, bool targetPart, int rangeSupport);

// The segment to fetch when the part file holds partSize bytes of range (its excess dealt
// with). leadLength: bytes of the previous range fetched with a range begun from its start.
// Without ranges (rangeSupport 0) the whole file is fetched, unless a vouched part holds it
// all already.
Segment PlanFetch(const Segment& range, int64_t fileSize, int64_t partSize, bool vouched,
                  int rangeSupport, int64_t leadLength);
