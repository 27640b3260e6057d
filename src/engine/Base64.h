#pragma once
// Base64 (RFC 4648 alphabet and padding, no line breaks) for HTTP Basic authorization.
// Pure function, any thread.
#include <string>

std::string Base64Encode(const std::string& text);
