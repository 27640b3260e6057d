#pragma once
// brindle-get's command line: the options, their parsing and checks, and how they override
// the settings record loaded from the settings file. Pure functions; main thread only.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/ProxyEnvironment.h"
#include "settings/Settings.h"

// How the existing-files question is answered.
enum class FilesAnswer { Ask, Yes, No };

// --checksum ALGO=HEX: the digest the finished file must have.
struct Checksum {
    std::string algorithm;  // sha256, sha512, sha1 or md5
    std::string hex;        // lower case, as long as the algorithm's digest
};

struct CliOptions {
    std::vector<std::string> urls;  // in the order given; run one after another
    std::string inputFile;          // -i: more URLs, one a line ("-": standard input)
    std::string output;       // empty: the name proposed from the URL, in the current directory
    bool remoteName = false;  // -O: the proposed name, said explicitly (excludes -o)
    int threads = 4;
    std::optional<int> attempts;  // absent: the "attempts" setting
    FilesAnswer answer = FilesAnswer::Ask;
    bool continueParts = false;  // -c: answer Yes, and keep a target that is already complete
    bool keepParts = false;
    bool serverName = false;      // -J: rename the file as the server's Content-Disposition says
    bool clobber = false;         // --clobber: delete existing files and start over, unasked
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
    std::string userAgent;  // -U; empty: the engine's own
    int64_t limitRate = 0;  // --limit-rate, bytes per second over the job; 0: none
    std::optional<Checksum> checksum;
    bool verbose = false;
    bool quiet = false;  // -q, -s: no display, nothing printed on success (-v still prints)
    bool help = false;
    bool version = false;
};

struct ParseResult {
    bool ok = false;
    std::string error;  // one line, when not ok
    CliOptions options;
};

// Parses the arguments after the program name. Options and URLs may come in any order;
// "--" ends the options. Values go after the option ("-n 3", "--threads 3", "--threads=3",
// "-n3"); single-letter flags combine ("-yk"). With --help or --version nothing else is
// required. "-k" is --insecure; --keep-parts has no letter.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// Applies the options to the loaded settings in memory (the file is never written).
// ftpUrl tells which proxy option turns proxy use on: --proxy for http://, --ftp-proxy for
// ftp://; the other one only fills in its address and port. Proxy addresses must have been
// resolved (ResolveProxy).
void ApplyOptions(const CliOptions& options, bool ftpUrl, Settings& settings);

// "500", "64k", "1.5M", "2G" (k = 1024) in bytes per second; false unless above 0.
bool ParseRate(const std::string& text, int64_t& bytesPerSecond);

// "sha256=HEX" and its kin; false (with why) for an unknown algorithm or a digest of the
// wrong length or with other than hex digits.
bool ParseChecksum(const std::string& text, Checksum& out, std::string& why);
