#include "cli/UrlList.h"

#include "net/AsciiText.h"

std::vector<std::string> ReadUrlList(std::istream& in) {
    std::vector<std::string> urls;
    std::string line;
    while (std::getline(in, line)) {
        const std::string url(TrimAscii(line));
        if (url.empty() || url.front() == '#') continue;
        urls.push_back(url);
    }
    return urls;
}
