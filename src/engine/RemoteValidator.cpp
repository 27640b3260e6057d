#include "engine/RemoteValidator.h"

#include "engine/HttpParse.h"

namespace {

constexpr const char* kEtag = "ETag ";
constexpr const char* kModified = "Last-Modified ";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Printable ASCII without line breaks: a value that goes back into a request line.
bool Printable(const std::string& value) {
    if (value.empty()) return false;
    for (unsigned char c : value) {
        if (c < 0x20 || c > 0x7e) return false;
    }
    return true;
}

}  // namespace

std::string HttpValidator(const std::string& header) {
    std::string value;
    if (HttpFieldValue(header, "ETag", value) && Printable(value) && !StartsWith(value, "W/")) {
        return kEtag + value;
    }
    if (HttpFieldValue(header, "Last-Modified", value) && Printable(value)) {
        return kModified + value;
    }
    return "";
}

std::string FtpValidator(const std::string& mdtmReply) {
    if (!StartsWith(mdtmReply, "213 ")) return "";
    const size_t end = mdtmReply.find_first_of("\r\n", 4);
    const std::string value = mdtmReply.substr(4, end == std::string::npos ? end : end - 4);
    return Printable(value) ? "MDTM " + value : "";
}

std::string IfRangeValue(const std::string& validator) {
    if (StartsWith(validator, kEtag)) return validator.substr(5);
    if (StartsWith(validator, kModified)) return validator.substr(14);
    return "";
}
