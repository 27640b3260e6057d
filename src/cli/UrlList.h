#pragma once
// brindle-get -i: the URLs of a list file, one a line. Pure; main thread only.
#include <istream>
#include <string>
#include <vector>

// Each line trimmed of white space (and a CR of a CR LF file); blank lines and lines whose
// first other character is "#" are skipped.
std::vector<std::string> ReadUrlList(std::istream& in);
