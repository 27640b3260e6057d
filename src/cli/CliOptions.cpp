#include "cli/CliOptions.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdlib>

namespace {

// All digits, no sign, within [low, high].
bool ParseInt(const std::string& text, long long low, long long high, long long& out) {
    if (text.empty() || text.size() > 18) return false;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
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

enum class Takes { Nothing, Value };

struct OptionSpec {
    const char* longName;
    char shortName;  // 0: none
    Takes takes;
};

constexpr OptionSpec kOptions[] = {
    {"output", 'o', Takes::Value},
    {"threads", 'n', Takes::Value},
    {"attempts", 'a', Takes::Value},
    {"yes", 'y', Takes::Nothing},
    {"no", 0, Takes::Nothing},
    {"keep-parts", 'k', Takes::Nothing},
    {"passive", 0, Takes::Nothing},
    {"active", 0, Takes::Nothing},
    {"proxy", 0, Takes::Value},
    {"ftp-proxy", 0, Takes::Value},
    {"user", 0, Takes::Value},
    {"password", 0, Takes::Value},
    {"auth", 0, Takes::Nothing},
    {"buffer-size", 0, Takes::Value},
    {"connect-timeout", 0, Takes::Value},
    {"stall-timeout", 0, Takes::Value},
    {"verbose", 'v', Takes::Nothing},
    {"quiet", 'q', Takes::Nothing},
    {"help", 'h', Takes::Nothing},
    {"version", 0, Takes::Nothing},
};

const OptionSpec* FindLong(const std::string& name) {
    for (const OptionSpec& spec : kOptions) {
        if (name == spec.longName) return &spec;
    }
    return nullptr;
}

const OptionSpec* FindShort(char letter) {
    for (const OptionSpec& spec : kOptions) {
        if (spec.shortName != 0 && spec.shortName == letter) return &spec;
    }
    return nullptr;
}

// Applies one recognised option; "" or what is wrong with it.
std::string Apply(const OptionSpec& spec, const std::string& value, CliOptions& o, bool& sawYes,
                  bool& sawNo, bool& sawPassive, bool& sawActive) {
    const std::string name = spec.longName;
    long long number = 0;
    if (name == "output") {
        if (value.empty()) return "--output needs a path";
        o.output = value;
    } else if (name == "threads") {
        if (!ParseInt(value, 1, 32, number)) return "--threads must be a number from 1 to 32";
        o.threads = static_cast<int>(number);
    } else if (name == "attempts") {
        if (!ParseInt(value, 1, 200, number)) return "--attempts must be a number from 1 to 200";
        o.attempts = static_cast<int>(number);
    } else if (name == "yes") {
        sawYes = true;
        o.answer = FilesAnswer::Yes;
    } else if (name == "no") {
        sawNo = true;
        o.answer = FilesAnswer::No;
    } else if (name == "keep-parts") {
        o.keepParts = true;
    } else if (name == "passive") {
        sawPassive = true;
        o.passive = true;
    } else if (name == "active") {
        sawActive = true;
        o.passive = false;
    } else if (name == "proxy" || name == "ftp-proxy") {
        ProxyAddress proxy;
        if (!ParseProxyAddress(value, proxy)) {
            return "--" + name + " needs ADDR:PORT with an IPv4 address and a port 1 to 65535";
        }
        (name == "proxy" ? o.proxy : o.ftpProxy) = proxy;
    } else if (name == "user") {
        o.user = value;
    } else if (name == "password") {
        o.password = value;
    } else if (name == "auth") {
        o.auth = true;
    } else if (name == "buffer-size") {
        if (!ParseInt(value, 1, 16 * 1024 * 1024, number)) {
            return "--buffer-size must be a number of bytes from 1 to 16777216";
        }
        o.bufferSize = static_cast<int>(number);
    } else if (name == "connect-timeout" || name == "stall-timeout") {
        int ms = 0;
        if (!ParseSeconds(value, ms)) {
            return "--" + name + " must be a number of seconds above 0 (at most 86400)";
        }
        (name == "connect-timeout" ? o.connectTimeoutMs : o.stallTimeoutMs) = ms;
    } else if (name == "verbose") {
        o.verbose = true;
    } else if (name == "quiet") {
        o.quiet = true;
    } else if (name == "help") {
        o.help = true;
    } else if (name == "version") {
        o.version = true;
    }
    return "";
}

}  // namespace

bool ParseProxyAddress(const std::string& text, ProxyAddress& out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string address = text.substr(0, colon);
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    long long port = 0;
    if (!ParseInt(text.substr(colon + 1), 1, 65535, port)) return false;
    out.address = address;
    out.port = static_cast<int>(port);
    return true;
}

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
    ParseResult result;
    CliOptions& o = result.options;
    bool sawYes = false, sawNo = false, sawPassive = false, sawActive = false;
    std::vector<std::string> positional;
    auto fail = [&result](const std::string& error) {
        result.ok = false;
        result.error = error;
        return result;
    };

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1,
                              args.end());
            break;
        }
        if (arg.rfind("--", 0) == 0) {
            const size_t equals = arg.find('=');
            const std::string name =
                arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const OptionSpec* spec = FindLong(name);
            if (spec == nullptr) return fail("unknown option --" + name);
            std::string value;
            if (spec->takes == Takes::Value) {
                if (equals != std::string::npos) {
                    value = arg.substr(equals + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return fail("--" + name + " needs a value");
                }
            } else if (equals != std::string::npos) {
                return fail("--" + name + " takes no value");
            }
            const std::string error = Apply(*spec, value, o, sawYes, sawNo, sawPassive, sawActive);
            if (!error.empty()) return fail(error);
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            // One or more single-letter options; a letter that takes a value takes the rest
            // of the word, or the next argument.
            for (size_t k = 1; k < arg.size(); ++k) {
                const OptionSpec* spec = FindShort(arg[k]);
                if (spec == nullptr) return fail(std::string("unknown option -") + arg[k]);
                std::string value;
                if (spec->takes == Takes::Value) {
                    if (k + 1 < arg.size()) {
                        value = arg.substr(k + 1);
                    } else if (i + 1 < args.size()) {
                        value = args[++i];
                    } else {
                        return fail(std::string("-") + arg[k] + " needs a value");
                    }
                    k = arg.size();
                }
                const std::string error =
                    Apply(*spec, value, o, sawYes, sawNo, sawPassive, sawActive);
                if (!error.empty()) return fail(error);
            }
            continue;
        }
        positional.push_back(arg);
    }

    if (o.help || o.version) {
        result.ok = true;
        return result;
    }
    if (sawYes && sawNo) return fail("--yes and --no exclude each other");
    if (sawPassive && sawActive) return fail("--passive and --active exclude each other");
    if (positional.empty()) return fail("no URL given (see --help)");
    if (positional.size() > 1) return fail("one URL at a time (got " + positional[1] + " too)");
    o.url = positional[0];
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

std::string UsageText() {
    return "Usage: brindle-get [options] URL\n"
           "Downloads one ftp:// or http:// file over several connections at once.\n"
           "\n"
           "  -o, --output PATH        target file (default: the URL's last path element,\n"
           "                           in the current directory)\n"
           "  -n, --threads N          connections, 1 to 32 (4)\n"
           "  -a, --attempts N         attempts per connection (setting \"attempts\")\n"
           "  -y, --yes                continue with files left by an earlier run\n"
           "      --no                 never continue with them (exit 2 when they exist)\n"
           "  -k, --keep-parts         keep the part files after joining\n"
           "      --passive, --active  FTP data connection mode\n"
           "      --proxy ADDR:PORT    HTTP proxy for http:// URLs\n"
           "      --ftp-proxy ADDR:PORT  FTP proxy for ftp:// URLs\n"
           "      --user U, --password P  default credentials\n"
           "      --auth               send HTTP Basic authorization\n"
           "      --buffer-size BYTES  receive buffer\n"
           "      --connect-timeout S  give up a connect after S seconds (30)\n"
           "      --stall-timeout S    give up a connection silent for S seconds (60)\n"
           "  -v, --verbose            print every command and reply, prefixed \"[#i] \"\n"
           "  -q, --quiet              no live progress display\n"
           "  -h, --help               this text\n"
           "      --version            the version\n"
           "\n"
           "Settings are read from Brindle.ini (never written); options override them.\n"
           "Exit status: 0 success, 1 \"Job failed\", 2 usage error, refused URL or declined\n"
           "question, 130 interrupted (part files kept: run again with -y to resume).\n";
}
