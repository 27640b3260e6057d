#include "engine/TextFormat.h"

#include <cstdarg>
#include <cstdio>

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return text;
}

std::string WithoutSecrets(const std::string& command) {
    std::string out;
    size_t start = 0;
    while (start < command.size()) {
        size_t end = command.find('\n', start);
        end = end == std::string::npos ? command.size() : end + 1;
        std::string line = command.substr(start, end - start);
        size_t keep = std::string::npos;  // length of the line's part that stays
        if (line.rfind("PASS ", 0) == 0) {
            keep = 5;
        } else {
            for (const char* field : {"Authorization: ", "Proxy-Authorization: "}) {
                if (line.rfind(field, 0) != 0) continue;
                // The scheme ("Basic ") stays, what follows it does not.
                const size_t blank = line.find(' ', std::string(field).size());
                keep = blank == std::string::npos ? std::string(field).size() : blank + 1;
            }
        }
        if (keep != std::string::npos) {
            const size_t lineEnd = line.find_first_of("\r\n");
            line = line.substr(0, keep) + "***" +
                   (lineEnd == std::string::npos ? "" : line.substr(lineEnd));
        }
        out += line;
        start = end;
    }
    return out;
}
