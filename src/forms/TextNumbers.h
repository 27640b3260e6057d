#pragma once
// Number reading of typed texts by the C library's atoi rules (leading white space, an
// optional sign, decimal digits up to the first other character; no digits give 0), without
// atoi's undefined behaviour on overflow. Pure; any thread.
#include <string>

int LeadingInteger(const std::string& text);
