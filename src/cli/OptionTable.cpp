#include "cli/OptionTable.h"

#include "engine/JobHost.h"
#include "engine/WInternetWorker.h"

namespace {

std::vector<OptionRow> MakeRows() {
    using K = ValueKind;
    const std::string maxAttempts = std::to_string(WInternetWorker::kMaxAttempts);
    return {
        {'o', "output", "PATH", K::Path,
         "target file (default: the URL's last path element with its %XX escapes decoded, in "
         "the current directory; one URL only). \"-\" (or a pipe or a character device) gets the "
         "file streamed into it as it arrives, in order; the parts wait in a temporary directory "
         "($TMPDIR) and cannot be resumed. Symbolic links and directories are refused",
         ""},
        {'O', "remote-name", "", K::None, "name the file after the URL (the default; not with -o)",
         ""},
        {'J', "content-disposition", "", K::None,
         "name the file as the server's Content-Disposition suggests: its last path element, in "
         "the folder the URL's name would go to; without a usable name the URL's stays. An "
         "existing file of that name is kept (exit 2, the download keeps the URL's name) unless "
         "--clobber is given. Not with -o",
         ""},
        {'i', "input-file", "FILE", K::Path,
         "more URLs from FILE, one a line (- for standard input; blank lines and lines "
         "starting with # are skipped); they run one after another",
         ""},
        {'n', "threads", "N", K::Other, "connections, 1 to 32 (4)", ""},
        {'a', "attempts", "N", K::Other,
         "attempts per connection, 1 to " + maxAttempts +
             " (setting \"attempts\"; a larger setting counts as " + maxAttempts + ")",
         ""},
        {'c', "continue", "", K::None,
         "resume from the target and part files of an earlier run without asking; a target "
         "that already holds the whole file (same size, no part files) is kept and nothing is "
         "fetched; one longer than the remote file is kept too and the job fails",
         ""},
        {'y', "yes", "", K::None,
         "answer yes to the existing-files question: go on from the files of an earlier run as "
         "they are; unlike -c, a target longer than its first segment is cut to it (a complete "
         "one is fetched again)",
         ""},
        {kNo, "no", "", K::None,
         "answer no: never go on from files of an earlier run (exit 2 when they exist)", ""},
        {kClobber, "clobber", "", K::None,
         "overwrite: delete the target and its part files and fetch the whole file again, "
         "without asking (not with -c, -y or --no)",
         ""},
        {kKeepParts, "keep-parts", "", K::None,
         "keep the part files after joining (no longer -k, which is --insecure)", ""},
        {kPassive, "passive", "", K::None, "FTP passive data connections (setting \"passivemode\")",
         ""},
        {kActive, "active", "", K::None, "FTP active data connections: the server connects back",
         ""},
        {kProxy, "proxy", "HOST:PORT", K::Other,
         "HTTP proxy for http:// URLs (https:// goes through it in a CONNECT tunnel); also "
         "http://HOST:PORT, and USER:PASS@ before the host for a proxy that asks for them "
         "(sent as Proxy-Authorization)",
         ""},
        {kFtpProxy, "ftp-proxy", "HOST:PORT", K::Other,
         "FTP proxy (USER user@host) for ftp:// URLs; also ftp://HOST:PORT or http://HOST:PORT",
         ""},
        {'U', "user-agent", "TEXT", K::Other,
         "User-Agent of HTTP requests (" + DefaultUserAgent() + ")", ""},
        {kLimitRate, "limit-rate", "RATE", K::Other,
         "at most RATE bytes a second over all connections of a job; k, M, G multiply by 1024, "
         "1024^2, 1024^3 (\"500k\")",
         ""},
        {kChecksum, "checksum", "ALGO=HEX", K::Choice,
         "the file must have this digest (sha256, sha512, sha1 or md5); checked after the "
         "join, a mismatch fails (exit 1) with both digests and keeps the file. One URL only. "
         "A streamed file (-o -) goes out only once it has passed, not as it arrives",
         "sha256= sha512= sha1= md5="},
        {kUser, "user", "U", K::Other,
         "default user name for URLs without one (setting \"defuser\")", ""},
        {kPassword, "password", "P", K::Other, "default password (setting \"defpass\")", ""},
        {kAuth, "auth", "", K::None,
         "send HTTP Basic authorization with the URL's or the default credentials (an http:// "
         "URL with a user name sends its own without --auth)",
         ""},
        {kBufferSize, "buffer-size", "BYTES", K::Other,
         "receive buffer, 1 to 16777216 bytes (setting \"bufsize\")", ""},
        {kConnectTimeout, "connect-timeout", "S", K::Other,
         "give up a connect after S seconds (30)", ""},
        {kStallTimeout, "stall-timeout", "S", K::Other,
         "give up a connection silent for S seconds (60); a whole header block or FTP reply "
         "must arrive within it too",
         ""},
        {kRetryDelay, "retry-delay", "S", K::Other,
         "pause S seconds after a failed attempt, doubling up to 30 (0.5; 0 retries at once)", ""},
        {kCaCert, "cacert", "FILE", K::Path,
         "trust the CA certificates in FILE (PEM) instead of the system's for https:// servers",
         ""},
        {'k', "insecure", "", K::None,
         "do not check https:// servers' certificates at all (said once on stderr)", ""},
        {kMaxRedirects, "max-redirects", "N", K::Other,
         "follow at most N redirects (301, 302, 303, 307, 308) per request, 0 to 100 (10); "
         "never from https:// to http:// or ftp://",
         ""},
        {'v', "verbose", "", K::None, "print every command and reply, prefixed \"[#i] \"", ""},
        {'q', "quiet", "", K::None,
         "no live display and nothing on success; errors still go to stderr (with -v the "
         "verdict is printed)",
         ""},
        {'s', "silent", "", K::None, "the same as --quiet", ""},
        {'h', "help", "", K::None, "this text", ""},
        {'V', "version", "", K::None, "the version", ""},
    };
}

}  // namespace

const std::vector<OptionRow>& OptionRows() {
    static const std::vector<OptionRow> rows = MakeRows();
    return rows;
}

const OptionRow* FindOption(int code) {
    for (const OptionRow& row : OptionRows()) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

std::string OptionHead(const OptionRow& row) {
    std::string head;
    if (row.code < 256) head = std::string("-") + static_cast<char>(row.code) + ", ";
    return head + "--" + row.name;
}

const std::vector<ExitRow>& ExitRows() {
    static const std::vector<ExitRow> rows = {
        {0, "success"},
        {1,
         "\"Job failed\" for any other reason: a server error (HTTP 5xx, FTP 4xx), a reply that "
         "makes no sense, the join (also a --checksum mismatch)"},
        {2,
         "usage error, refused URL, files of an earlier run exist and neither -c, -y nor "
         "--clobber was given (or the question was declined), or -J's name is taken"},
        {3,
         "\"Job failed\": the server refused (HTTP 4xx, FTP 5xx to the login or the file); a 4xx "
         "but 408 and 429 is not retried"},
        {4,
         "\"Job failed\": network: a host name that does not resolve (not retried), a connection "
         "refused (the line names host and port), a time-out, a connection that broke"},
        {5, "\"Job failed\": TLS: the handshake failed (a refused certificate is not retried)"},
        {6,
         "\"Job failed\": local file: a part file or the target cannot be opened or written, no "
         "room, a target that another job holds, or a target longer than the remote file (not "
         "retried)"},
        {130,
         "interrupted by Ctrl-C (128 + the signal for SIGHUP, SIGQUIT and SIGTERM); part files "
         "are kept: run again with -c to resume"},
        {141,
         "-o -, or a pipe given with -o: the reader went away before the end (the job stops "
         "quietly, as a program ended by SIGPIPE would)"},
    };
    return rows;
}

const char* const kSettingsFileText =
    "Settings are read from Brindle.ini (section \"settings\") in $BRINDLE_CONFIG_DIR, else "
    "$XDG_CONFIG_HOME, else ~/.config; brindle-get never writes it, and its options override "
    "it.";

const char* const kEnvironmentText =
    "Without --proxy or --ftp-proxy and with the \"useproxy\" setting off, http_proxy, "
    "https_proxy (or HTTPS_PROXY) and ftp_proxy (or FTP_PROXY) name the proxy of each scheme, in "
    "the forms above (user:pass@ included); no_proxy (or NO_PROXY) lists hosts and domains reached "
    "directly "
    "(comma-separated, * for all). They apply to every URL fetched, redirect targets included.";

const char* const kSeveralUrlsText =
    "With several URLs, the status is the worst of them; an interruption stops the rest.";

std::string DefaultUserAgent() {
    return JobOptions::kUserAgent;
}
