#include "engine/HttpRedirect.h"

#include <vector>

namespace {

// Path with "." and ".." segments removed; a ".." never climbs above the root.
std::string RemoveDotSegments(const std::string& path) {
    std::vector<std::string> kept;
    size_t pos = 1;  // after the leading "/"
    bool endsInDirectory = false;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        std::string segment =
            path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        const bool last = slash == std::string::npos;
        endsInDirectory = false;
        if (segment == "..") {
            if (!kept.empty()) kept.pop_back();
            endsInDirectory = true;
        } else if (segment == ".") {
            endsInDirectory = true;
        } else if (!last || !segment.empty()) {
            kept.push_back(segment);
        } else {
            endsInDirectory = true;
        }
        if (last) break;
        pos = slash + 1;
    }
    std::string out;
    for (const std::string& segment : kept) out += "/" + segment;
    if (out.empty() || endsInDirectory) out += "/";
    return out;
}

}  // namespace

bool IsRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string ResolveLocation(const std::string& baseUrl, const std::string& locationText) {
    std::string location = locationText.substr(0, locationText.find('#'));
    if (locationText.empty()) return "";
    // An absolute URL has a scheme: letters, digits, "+-." up to a ":" before any "/?".
    size_t colon = location.find(':');
    if (colon != std::string::npos && colon > 0 && location.find_first_of("/?") > colon) {
        bool scheme = true;
        for (size_t i = 0; i < colon; ++i) {
            const char c = location[i];
            const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (!alpha &&
                (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) {
                scheme = false;
                break;
            }
        }
        if (scheme) return location;
    }

    const size_t schemeEnd = baseUrl.find("://");
    if (schemeEnd == std::string::npos || schemeEnd == 0) return "";
    const size_t authorityStart = schemeEnd + 3;
    size_t pathStart = baseUrl.find_first_of("/?#", authorityStart);
    if (pathStart == std::string::npos) pathStart = baseUrl.size();
    const std::string origin = baseUrl.substr(0, pathStart);
    size_t queryStart = baseUrl.find_first_of("?#", pathStart);
    if (queryStart == std::string::npos) queryStart = baseUrl.size();
    std::string basePath = baseUrl.substr(pathStart, queryStart - pathStart);
    if (basePath.empty()) basePath = "/";

    if (location.rfind("//", 0) == 0) return baseUrl.substr(0, schemeEnd) + ":" + location;
    if (location.empty()) return baseUrl.substr(0, baseUrl.find('#'));
    const size_t locationQuery = location.find('?');
    std::string path = location.substr(0, locationQuery);
    const std::string query =
        locationQuery == std::string::npos ? "" : location.substr(locationQuery);
    if (path.empty()) return origin + basePath + query;
    if (path[0] != '/') path = basePath.substr(0, basePath.rfind('/') + 1) + path;
    return origin + RemoveDotSegments(path) + query;
}
