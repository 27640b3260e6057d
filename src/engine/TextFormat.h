#pragma once
// printf-style formatting into a std::string, for the engine's protocol lines and log texts.
// Pure function, any thread.
#include <string>

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
