#pragma once
// brindle-get's options and exit statuses as one table: the parser, --help, the man page, the
// bash completion and the README's option table are all made from it, so they cannot drift
// apart. Constant data; any thread.
#include <string>
#include <vector>

// Long-only options get codes above the byte range; short ones use their letter.
enum LongOnly : int {
    kNo = 256,
    kKeepParts,
    kPassive,
    kActive,
    kProxy,
    kFtpProxy,
    kUser,
    kPassword,
    kAuth,
    kBufferSize,
    kConnectTimeout,
    kStallTimeout,
    kRetryDelay,
    kCaCert,
    kMaxRedirects,
    kLimitRate,
    kChecksum,
    kClobber,
};

// What a value is, for the completion: a path completes file names, a choice its words.
enum class ValueKind { None, Path, Other, Choice };

struct OptionRow {
    int code;           // the letter, or a LongOnly code
    std::string name;   // the long name, without "--"
    std::string value;  // the value's name ("PATH"); empty for a flag
    ValueKind kind;
    std::string help;     // one paragraph of plain text, defaults in parentheses
    std::string choices;  // ValueKind::Choice: the words offered, space-separated
};

// Every option, in the order --help lists them.
const std::vector<OptionRow>& OptionRows();

// The row with this code; nullptr for none.
const OptionRow* FindOption(int code);

// "-o, --output" or "--no": how --help and the man page head an option's entry.
std::string OptionHead(const OptionRow& row);

struct ExitRow {
    int code;
    std::string meaning;
};

// brindle-get's exit statuses, as the documentation lists them.
const std::vector<ExitRow>& ExitRows();

// Plain-text paragraphs shared by --help and the man page.
extern const char* const kSettingsFileText;  // where the settings file lives
extern const char* const kEnvironmentText;   // the proxy variables
extern const char* const kSeveralUrlsText;   // the status of a run over several URLs

// The User-Agent sent when -U is not given.
std::string DefaultUserAgent();
