#include "engine/Segment.h"

#include <algorithm>

Segment FirstSegment(int64_t fileSize, int threadCount, int index) {
    const int count = std::max(threadCount, 1);
    const int64_t length = fileSize / count;
    const int64_t start = index * length;
    return RangeSegment(start, index == count - 1 ? fileSize : start + length);
}

Segment RangeSegment(int64_t start, int64_t end) {
    Segment s;
    s.ownStart = start;
    s.end = end;
    return s;
}

Segment WholeFileSegment(int64_t fileSize) {
    return RangeSegment(0, fileSize);
}

PartExcess ExcessOf(const Segment& range, int64_t partSize, bool targetPart, int rangeSupport) {
    if (rangeSupport == 0 || partSize <= range.Length()) return PartExcess::None;
    return targetPart ? PartExcess::CutToRange : PartExcess::FetchAgain;
}

Segment PlanFetch(const Segment& range, int64_t fileSize, int64_t partSize, bool vouched,
                  int rangeSupport, int64_t leadLength) {
    if (rangeSupport == 0) {
        // With no seam to check, only a record from the same remote file vouches for it.
        Segment whole = WholeFileSegment(fileSize);
        if (partSize == fileSize && vouched) {
            whole.done = fileSize;
            whole.vouched = true;
        }
        return whole;
    }
    Segment s = RangeSegment(range.ownStart, range.end);
    s.vouched = vouched;
    if (partSize <= 0) {
        // Begun from its start: the end of the previous range comes first, for the join.
        if (leadLength > 0 && s.Remaining() > 0) {
            s.seamBytes = leadLength;
            s.seamIsLead = true;
        }
        return s;
    }
    s.done = std::min(partSize, s.Length());
    // Bytes kept from before are checked against the server's at the seam, unless a record
    // vouches for a part that needs nothing more.
    if (!(vouched && s.Remaining() == 0)) s.seamBytes = std::min(s.done, kSeamBytes);
    return s;
}
