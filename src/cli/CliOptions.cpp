#include "cli/CliOptions.h"

#include <getopt.h>

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "cli/OptionTable.h"
#include "engine/WInternetWorker.h"
#include "net/AsciiText.h"
#include "net/WInternet.h"

namespace {

// All digits, no sign, within [low, high].
bool ParseInt(const std::string& text, long long low, long long high, long long& out) {
    std::string_view rest = text;
    int64_t value = 0;
    if (text.size() > 18 || !TakeDigits(rest, value) || !rest.empty()) return false;
    if (value < low || value > high) return false;
    out = value;
    return true;
}

// Seconds as a plain decimal ("2", "0.5"), more than 0 and at most a day, in milliseconds.
bool ParseSeconds(const std::string& text, int& ms) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !(seconds > 0) || seconds > 86400) return false;
    ms = static_cast<int>(std::ceil(seconds * 1000.0));
    return true;
}

// getopt's tables, made from the option table: the short option letters ("o:On:...") and the
// long options.
const std::string& ShortOptions() {
    static const std::string letters = [] {
        std::string out;
        for (const OptionRow& row : OptionRows()) {
            if (row.code >= 256) continue;
            out += static_cast<char>(row.code);
            if (!row.value.empty()) out += ':';
        }
        return out;
    }();
    return letters;
}

const option* LongOptions() {
    static const std::vector<option> table = [] {
        std::vector<option> out;
        for (const OptionRow& row : OptionRows()) {
            out.push_back({row.name.c_str(), row.value.empty() ? no_argument : required_argument,
                           nullptr, row.code});
        }
        out.push_back({nullptr, 0, nullptr, 0});
        return out;
    }();
    return table.data();
}

// The option's name as the user knows it, for messages: "--threads" (or "-n" when only a
// letter exists).
std::string NameOf(int code) {
    const OptionRow* row = FindOption(code);
    if (row != nullptr) return "--" + row->name;
    return std::string("-") + static_cast<char>(code);
}

// getopt's complaint about word (the argument it was scanning), worded as glibc prints it.
std::string GetoptError(const std::string& word, int code) {
    if (word.rfind("--", 0) == 0) {
        const std::string name = word.substr(0, word.find('='));
        if (code == ':') return "option '" + name + "' requires an argument";
        if (optopt != 0) return "option '" + name + "' doesn't allow an argument";
        int matches = 0;
        for (const OptionRow& row : OptionRows()) {
            if (row.name.rfind(name.substr(2), 0) == 0) ++matches;
        }
        return matches > 1 ? "option '" + name + "' is ambiguous"
                           : "unrecognized option '" + name + "'";
    }
    const std::string letter(1, static_cast<char>(optopt));
    if (code == ':') return "option requires an argument -- '" + letter + "'";
    return "invalid option -- '" + letter + "'";
}

// Applies one recognised option; "" or what is wrong with it.
std::string Apply(int code, const std::string& value, CliOptions& o, bool& sawYes, bool& sawNo,
                  bool& sawPassive, bool& sawActive) {
    long long number = 0;
    switch (code) {
        case 'o':
            if (value.empty()) return "--output needs a path";
            o.output = value;
            break;
        case 'O':
            o.remoteName = true;
            break;
        case 'i':
            if (value.empty()) return "--input-file needs a file (- for standard input)";
            o.inputFile = value;
            break;
        case 'c':
            o.continueParts = true;
            sawYes = true;
            o.answer = FilesAnswer::Yes;
            break;
        case 'U':
            // A line break would end the request's header and add lines of its own.
            if (HasControlChar(value)) return "--user-agent must not hold control characters";
            o.userAgent = value;
            break;
        case kLimitRate:
            if (!ParseRate(value, o.limitRate)) {
                return "--limit-rate must be a rate above 0 in bytes per second, with k, M or G "
                       "for 1024, 1024^2, 1024^3 (\"500k\")";
            }
            break;
        case kChecksum: {
            Checksum checksum;
            std::string why;
            if (!ParseChecksum(value, checksum, why)) return "--checksum: " + why;
            o.checksum = checksum;
            break;
        }
        case 'n':
            if (!ParseInt(value, 1, 32, number)) return "--threads must be a number from 1 to 32";
            o.threads = static_cast<int>(number);
            break;
        case 'a':
            if (!ParseInt(value, 1, WInternetWorker::kMaxAttempts, number)) {
                return "--attempts must be a number from 1 to " +
                       std::to_string(WInternetWorker::kMaxAttempts);
            }
            o.attempts = static_cast<int>(number);
            break;
        case 'y':
            sawYes = true;
            o.answer = FilesAnswer::Yes;
            break;
        case kNo:
            sawNo = true;
            o.answer = FilesAnswer::No;
            break;
        case kKeepParts:
            o.keepParts = true;
            break;
        case 'J':
            o.serverName = true;
            break;
        case kClobber:
            o.clobber = true;
            break;
        case kPassive:
            sawPassive = true;
            o.passive = true;
            break;
        case kActive:
            sawActive = true;
            o.passive = false;
            break;
        case kProxy:
        case kFtpProxy: {
            ProxyAddress proxy;
            if (!ParseProxyAddress(value, proxy, code == kFtpProxy)) {
                return NameOf(code) + " needs HOST:PORT or " +
                       (code == kFtpProxy ? "ftp://HOST:PORT" : "http://HOST:PORT") +
                       " with a port 1 to 65535";
            }
            (code == kProxy ? o.proxy : o.ftpProxy) = proxy;
            break;
        }
        case kUser:
        case kPassword:
            // A line break would end the FTP command and smuggle in another one.
            if (HasControlChar(value)) return NameOf(code) + " must not hold control characters";
            (code == kUser ? o.user : o.password) = value;
            break;
        case kAuth:
            o.auth = true;
            break;
        case kBufferSize:
            if (!ParseInt(value, 1, 16 * 1024 * 1024, number)) {
                return "--buffer-size must be a number of bytes from 1 to 16777216";
            }
            o.bufferSize = static_cast<int>(number);
            break;
        case kConnectTimeout:
        case kStallTimeout: {
            int ms = 0;
            if (!ParseSeconds(value, ms)) {
                return NameOf(code) + " must be a number of seconds above 0 (at most 86400)";
            }
            (code == kConnectTimeout ? o.connectTimeoutMs : o.stallTimeoutMs) = ms;
            break;
        }
        case kRetryDelay: {
            int ms = 0;
            if (value != "0" && !ParseSeconds(value, ms)) {
                return "--retry-delay must be a number of seconds (0 for none, at most 86400)";
            }
            o.retryDelayMs = ms;
            break;
        }
        case kCaCert:
            if (value.empty()) return "--cacert needs a file";
            o.caFile = value;
            break;
        case 'k':
            o.insecure = true;
            break;
        case kMaxRedirects:
            if (!ParseInt(value, 0, 100, number)) {
                return "--max-redirects must be a number from 0 to 100";
            }
            o.maxRedirects = static_cast<int>(number);
            break;
        case 'v':
            o.verbose = true;
            break;
        case 'q':
        case 's':
            o.quiet = true;
            break;
        case 'h':
            o.help = true;
            break;
        case 'V':
            o.version = true;
            break;
        default:
            break;
    }
    return "";
}

}  // namespace

bool ParseRate(const std::string& text, int64_t& bytesPerSecond) {
    if (text.empty()) return false;
    std::string number = text;
    double unit = 1;
    switch (number.back()) {
        case 'k':
        case 'K':
            unit = 1024;
            break;
        case 'm':
        case 'M':
            unit = 1024.0 * 1024;
            break;
        case 'g':
        case 'G':
            unit = 1024.0 * 1024 * 1024;
            break;
        default:
            break;
    }
    if (unit > 1) number.pop_back();
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end) * unit;
    if (end == nullptr || *end != '\0' || !(value >= 1) || value > 1e15) return false;
    bytesPerSecond = static_cast<int64_t>(value);
    return true;
}

bool ParseChecksum(const std::string& text, Checksum& out, std::string& why) {
    static const std::pair<const char*, size_t> kAlgorithms[] = {
        {"sha256", 64}, {"sha512", 128}, {"sha1", 40}, {"md5", 32}};
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
        why = "give ALGO=HEX, e.g. sha256=<64 hex digits>";
        return false;
    }
    std::string algorithm = text.substr(0, equals);
    for (char& c : algorithm) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string hex = text.substr(equals + 1);
    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& [name, digits] : kAlgorithms) {
        if (algorithm != name) continue;
        if (hex.size() != digits ||
            hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
            why = "a " + algorithm + " digest is " + std::to_string(digits) + " hex digits";
            return false;
        }
        out.algorithm = algorithm;
        out.hex = hex;
        return true;
    }
    why = "unknown algorithm '" + algorithm + "' (sha256, sha512, sha1 or md5)";
    return false;
}

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
    ParseResult result;
    CliOptions& o = result.options;
    bool sawYes = false, sawNo = false, sawPassive = false, sawActive = false;
    auto fail = [&result](const std::string& error) {
        result.ok = false;
        result.error = error;
        return result;
    };

    // getopt_long wants a mutable argv with the program name first and a null at the end.
    std::vector<std::string> storage{"brindle-get"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    // "+": stop at each URL instead of permuting, so the word being scanned is always
    // argv[optind] and the URL is taken here; options may still follow it.
    const std::string shortOptions = "+:" + ShortOptions();
    std::vector<std::string> positional;
    optind = 0;  // glibc: start over, internal state included
    opterr = 0;
    for (;;) {
        const int start = optind == 0 ? 1 : optind;
        const std::string word = start < argc ? argv[static_cast<size_t>(start)] : "";
        const int code =
            getopt_long(argc, argv.data(), shortOptions.c_str(), LongOptions(), nullptr);
        if (code == -1) {
            if (optind >= argc) break;
            if (optind > start) {  // "--": the rest are URLs
                positional.insert(positional.end(), argv.begin() + optind, argv.end() - 1);
                break;
            }
            positional.push_back(argv[static_cast<size_t>(optind++)]);
            continue;
        }
        if (code == '?' || code == ':') return fail(GetoptError(word, code));
        const std::string error =
            Apply(code, optarg != nullptr ? optarg : "", o, sawYes, sawNo, sawPassive, sawActive);
        if (!error.empty()) return fail(error);
    }

    if (o.help || o.version) {
        result.ok = true;
        return result;
    }
    if (sawYes && sawNo)
        return fail(NameOf(o.continueParts ? 'c' : 'y') + " and --no exclude each other");
    if (sawPassive && sawActive) return fail("--passive and --active exclude each other");
    if (o.remoteName && !o.output.empty()) return fail("-O and -o exclude each other");
    if (o.serverName && !o.output.empty()) return fail("-J and -o exclude each other");
    if (o.clobber && (sawYes || sawNo)) {
        return fail("--clobber and " +
                    (sawNo ? std::string("--no") : NameOf(o.continueParts ? 'c' : 'y')) +
                    " exclude each other");
    }
    if (positional.empty() && o.inputFile.empty()) return fail("no URL given");
    o.urls = positional;
    result.ok = true;
    return result;
}

void ApplyOptions(const CliOptions& o, bool ftpUrl, Settings& s) {
    if (o.attempts) s.attempts = *o.attempts;
    if (o.keepParts) s.delfiles = false;
    if (o.passive) s.passivemode = *o.passive;
    if (o.proxy) {
        s.proxyaddr = o.proxy->address;
        s.proxyport = o.proxy->port;
        if (!ftpUrl) s.useproxy = true;
    }
    if (o.ftpProxy) {
        s.ftpproxyaddr = o.ftpProxy->address;
        s.ftpproxyport = o.ftpProxy->port;
        if (ftpUrl) s.useproxy = true;
    }
    if (o.user) s.defuser = *o.user;
    if (o.password) s.defpass = *o.password;
    if (o.auth) s.useauthorization = true;
    if (o.bufferSize) s.bufsize = *o.bufferSize;
}
