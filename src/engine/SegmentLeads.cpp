#include "engine/SegmentLeads.h"

#include <algorithm>
#include <charconv>

#include "engine/Sha256.h"

std::string WindowDigest(const char* data, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (const uint8_t byte : Sha256(data, size)) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

std::string LeadText(const SegmentLead& lead) {
    return lead.Known() ? std::to_string(lead.length) + " " + lead.digest : "";
}

SegmentLead ParseLeadText(const std::string& text) {
    const size_t space = text.find(' ');
    if (space == std::string::npos) return {};
    SegmentLead lead;
    auto [end, ec] = std::from_chars(text.data(), text.data() + space, lead.length);
    if (ec != std::errc() || end != text.data() + space || lead.length < 1) return {};
    lead.digest = text.substr(space + 1);
    const bool hex =
        lead.digest.size() == 64 && std::all_of(lead.digest.begin(), lead.digest.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        });
    return hex ? lead : SegmentLead{};
}

int64_t LeadLength(int64_t fileSize, int threadCount, int threadNumber) {
    if (threadNumber < 1 || threadCount < 2 || fileSize < 1) return 0;
    return std::min(kLeadBytes, fileSize / threadCount);
}

void SegmentLeads::Reset(int threadCount) {
    std::lock_guard<std::mutex> guard(lock);
    leads.assign(threadCount > 0 ? static_cast<size_t>(threadCount) : 0, SegmentLead{});
}

void SegmentLeads::Set(int threadNumber, const SegmentLead& lead) {
    std::lock_guard<std::mutex> guard(lock);
    if (threadNumber < 0) return;
    // Taken ranges get numbers past the threads'.
    if (static_cast<size_t>(threadNumber) >= leads.size()) leads.resize(threadNumber + 1);
    leads[static_cast<size_t>(threadNumber)] = lead;
}

void SegmentLeads::Forget(int threadNumber) {
    Set(threadNumber, SegmentLead{});
}

SegmentLead SegmentLeads::Get(int threadNumber) const {
    std::lock_guard<std::mutex> guard(lock);
    if (threadNumber < 0 || static_cast<size_t>(threadNumber) >= leads.size()) return {};
    return leads[static_cast<size_t>(threadNumber)];
}
