#include "engine/PartRecord.h"

#include <sys/xattr.h>

#include <cerrno>
#include <charconv>

namespace {

constexpr const char* kSize = "user.brindle.size";
constexpr const char* kThreads = "user.brindle.threads";
constexpr const char* kStart = "user.brindle.start";
constexpr const char* kValidator = "user.brindle.validator";
constexpr const char* kLead = "user.brindle.lead";
constexpr const char* kNames[] = {kSize, kThreads, kStart, kValidator, kLead};
// A validator longer than this is not kept (a header line can be long; the record cannot).
constexpr size_t kMaxValue = 1024;

bool Put(int fd, const char* name, const std::string& value) {
    return ::fsetxattr(fd, name, value.data(), value.size(), 0) == 0;
}

bool Get(const std::string& path, const char* name, std::string& value) {
    char buffer[kMaxValue];
    const ssize_t n = ::lgetxattr(path.c_str(), name, buffer, sizeof buffer);
    if (n < 0) return false;
    value.assign(buffer, static_cast<size_t>(n));
    return true;
}

template <typename T>
bool Number(const std::string& text, T& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace

bool WritePartRecord(int fd, const PartRecord& record) {
    const std::string validator =
        record.validator.size() < kMaxValue ? record.validator : std::string();
    // The lead first and the validator last: a record is only whole when the four are there,
    // and a lead from an earlier fetch never stays beside a newer record.
    const bool lead = record.lead.Known() ? Put(fd, kLead, LeadText(record.lead))
                                          : ::fremovexattr(fd, kLead) == 0 || errno == ENODATA;
    return lead && Put(fd, kSize, std::to_string(record.fileSize)) &&
           Put(fd, kThreads, std::to_string(record.threadCount)) &&
           Put(fd, kStart, std::to_string(record.segmentStart)) && Put(fd, kValidator, validator);
}

bool ReadPartRecord(const std::string& path, PartRecord& record) {
    std::string size, threads, start, validator;
    if (!Get(path, kSize, size) || !Get(path, kThreads, threads) || !Get(path, kStart, start) ||
        !Get(path, kValidator, validator)) {
        return false;
    }
    PartRecord read;
    if (!Number(size, read.fileSize) || !Number(threads, read.threadCount) ||
        !Number(start, read.segmentStart)) {
        return false;
    }
    read.validator = validator;
    std::string lead;
    if (Get(path, kLead, lead)) read.lead = ParseLeadText(lead);
    record = read;
    return true;
}

void ClearPartRecord(const std::string& path) {
    for (const char* name : kNames) ::lremovexattr(path.c_str(), name);
}

std::string PartRecordMismatch(const PartRecord& recorded, const PartRecord& now) {
    if (recorded.fileSize != now.fileSize) {
        return "it was fetched from a remote file of " + std::to_string(recorded.fileSize) +
               " bytes, now " + std::to_string(now.fileSize);
    }
    if (recorded.segmentStart != now.segmentStart) {
        return "it holds the segment from byte " + std::to_string(recorded.segmentStart) + " of " +
               std::to_string(recorded.threadCount) + " threads, not the one from byte " +
               std::to_string(now.segmentStart);
    }
    if (recorded.validator != now.validator) {
        return "the remote file changed (" +
               (recorded.validator.empty() ? std::string("none") : recorded.validator) + ", now " +
               (now.validator.empty() ? std::string("none") : now.validator) + ")";
    }
    return "";
}
