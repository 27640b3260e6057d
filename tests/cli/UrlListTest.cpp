// The -i list file: one URL a line, blanks and comments skipped.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/UrlList.h"

namespace {

TEST(UrlList, LinesToUrls) {
    struct Case {
        const char* text;
        std::vector<std::string> urls;
    } cases[] = {
        {"a\n\nb\n", {"a", "b"}},
        {"  a \t\r\nb\r\n", {"a", "b"}},        // trimmed, CR LF
        {"# comment\n  # indented\nc", {"c"}},  // no final line break
        {"\t\n \r\n", {}},
        {"http://h/x#frag\n", {"http://h/x#frag"}},  // "#" counts only at the front
        {"", {}},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.text);
        EXPECT_EQ(ReadUrlList(in), c.urls) << c.text;
    }
}

}  // namespace
