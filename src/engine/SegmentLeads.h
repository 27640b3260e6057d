#pragma once
// SegmentLeads: the bytes just before each segment's start, as the server sent them with the
// segment. Every segment after the first is fetched a few KiB early; those bytes must equal
// the end of the segment before it, which is checked when the parts are joined. A server that
// ignores the requested offset, or a file that changed between the fetches of two parts (even
// under the same ETag), shows as a seam that does not fit. Kept as a digest, in memory for the
// job and in the part's record for a later one. Any thread; one lock inside.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Bytes of the previous segment that a segment fetches before its own start.
inline constexpr int64_t kLeadBytes = 4096;

struct SegmentLead {
    int64_t length = 0;  // 0: nothing known
    std::string digest;  // sha256 of the bytes, lower-case hex
    bool Known() const { return length > 0 && !digest.empty(); }
    bool operator==(const SegmentLead&) const = default;
};

// sha256 of the bytes in lower-case hex.
std::string WindowDigest(const char* data, size_t size);

// "<length> <digest>", as kept in a part's record, and back; Parse gives an unknown lead for
// anything else.
std::string LeadText(const SegmentLead& lead);
SegmentLead ParseLeadText(const std::string& text);

// How many bytes segment `threadNumber` fetches before its own start: those of the previous
// segment, at most kLeadBytes; 0 for the first segment or when segments are empty.
int64_t LeadLength(int64_t fileSize, int threadCount, int threadNumber);

class SegmentLeads {
public:
    // With a lock of its own, or sharing the lock of what it is part of.
    SegmentLeads() : lock(ownLock) {}
    explicit SegmentLeads(std::mutex& shared) : lock(shared) {}
    SegmentLeads(const SegmentLeads&) = delete;
    SegmentLeads& operator=(const SegmentLeads&) = delete;

    // Owner thread, no worker running.
    void Reset(int threadCount);
    void Set(int threadNumber, const SegmentLead& lead);
    void Forget(int threadNumber);
    SegmentLead Get(int threadNumber) const;

private:
    std::mutex ownLock;
    std::mutex& lock;
    std::vector<SegmentLead> leads;
};
