#pragma once
// brindle-get's command line: the options, their parsing and checks, and how they override
// the settings record loaded from the settings file. Pure functions; main thread only.
#include <optional>
#include <string>
#include <vector>

#include "settings/Settings.h"

// An "ADDR:PORT" option value: a dotted-quad IPv4 address (proxies are never looked up by
// name) and a port 1..65535.
struct ProxyAddress {
    std::string address;
    int port = 0;
};

// How the existing-files question is answered.
enum class FilesAnswer { Ask, Yes, No };

struct CliOptions {
    std::string url;
    std::string output;       // empty: the name proposed from the URL, in the current directory
    bool remoteName = false;  // -O: that default asked for by name
    int threads = 4;
    std::optional<int> attempts;  // absent: the "attempts" setting
    FilesAnswer answer = FilesAnswer::Ask;
    bool keepParts = false;
    std::optional<bool> passive;  // absent: the "passivemode" setting
    std::optional<ProxyAddress> proxy;
    std::optional<ProxyAddress> ftpProxy;
    std::optional<std::string> user;
    std::optional<std::string> password;
    bool auth = false;
    std::optional<int> bufferSize;
    int connectTimeoutMs = 0;  // 0: the socket layer's default
    int stallTimeoutMs = 0;
    // First pause between failed attempts of a thread (doubling up to 30 s); absent: 0.5 s.
    std::optional<int> retryDelayMs;
    std::string caFile;     // --cacert: trust these CA certificates instead of the system's
    bool insecure = false;  // -k: no certificate check
    int maxRedirects = 10;
    bool verbose = false;
    bool quiet = false;  // no live display, no verdict line on success
    bool help = false;
    bool version = false;
};

struct ParseResult {
    bool ok = false;
    std::string error;  // one line, when not ok
    CliOptions options;
};

// Parses the arguments after the program name. Options and the URL may come in any order;
// "--" ends the options. Values go after the option ("-n 3", "--threads 3", "--threads=3",
// "-n3"); single-letter flags combine ("-yk"). With --help or --version nothing else is
// required. "-k" is --insecure; --keep-parts has no letter.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// Applies the options to the loaded settings in memory (the file is never written).
// ftpUrl tells which proxy option turns proxy use on: --proxy for http://, --ftp-proxy for
// ftp://; the other one only fills in its address and port.
void ApplyOptions(const CliOptions& options, bool ftpUrl, Settings& settings);

// Parses "ADDR:PORT"; false when the address is not a dotted quad or the port not 1..65535.
bool ParseProxyAddress(const std::string& text, ProxyAddress& out);

// The --help text.
std::string UsageText();
