#pragma once
// The texts made from the option table: --help, the man page, the bash completion and the
// README's option section. data/brindle-get.1, data/brindle-get.bash and the README hold the
// last three as brindle-get-docs wrote them; a test checks they still match. Any thread.
#include <string>

// --help; settingsFile is the file this run would read, named after the rule.
std::string UsageText(const std::string& settingsFile);

// data/brindle-get.1 (roff).
std::string ManPage();

// data/brindle-get.bash.
std::string BashCompletion();

// The README's lines between kReadmeBegin and kReadmeEnd (markdown).
std::string ReadmeOptions();
extern const char* const kReadmeBegin;
extern const char* const kReadmeEnd;
