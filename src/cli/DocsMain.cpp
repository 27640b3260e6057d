// brindle-get-docs: writes the man page, the bash completion or the README's option section
// from brindle-get's option table ("cmake --build build --target cli-docs" writes all three).
#include <cstdio>
#include <string>

#include "cli/OptionDocs.h"

int main(int argc, char** argv) {
    const std::string what = argc == 2 ? argv[1] : "";
    std::string text;
    if (what == "man") {
        text = ManPage();
    } else if (what == "bash") {
        text = BashCompletion();
    } else if (what == "readme") {
        text = ReadmeOptions();
    } else {
        std::fputs("usage: brindle-get-docs man|bash|readme\n", stderr);
        return 2;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}
