// Why a job failed, in plain words: which log lines count as a thread's last word, what each
// kind of last line says, and how the reasons of several threads are put together.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job/FailureText.h"

namespace {

TEST(FailureText, TellingLines) {
    struct Case {
        const char* text;
        const char* line;
    } cases[] = {
        {"ATTEMPTION #2\r\n\r\n", ""},
        {"Thread #1. complited with 0\r\n", ""},
        {"\r\n", ""},
        {"550 No such file\r\n", "550 No such file"},
        {"HTTP/1.1 404 Not Found\r\nServer: nginx\r\n\r\n", "HTTP/1.1 404 Not Found"},
    };
    for (const Case& c : cases) EXPECT_EQ(TellingLine(c.text), c.line) << c.text;
}

TEST(FailureText, PlainWordsPerKindOfLine) {
    struct Case {
        const char* lastLine;
        const char* plain;
    } cases[] = {
        {"", ""},
        {"HTTP/1.1 404 Not Found", "the file is not on the server (HTTP/1.1 404 Not Found)"},
        {"HTTP/1.0 403 Forbidden",
         "the server refuses access to the file (HTTP/1.0 403 Forbidden)"},
        {"HTTP/1.1 407 Proxy Authentication Required",
         "the proxy wants a user name and password (HTTP/1.1 407 Proxy Authentication Required)"},
        {"HTTP/1.1 503 Service Unavailable",
         "the server had a problem of its own (HTTP/1.1 503 Service Unavailable)"},
        {"HTTP/1.1 206 Partial Content",
         "the connection ended before all the data came (HTTP/1.1 206 Partial Content)"},
        {"550 Failed to open file.",
         "the server cannot send the file: it is missing or may not be read "
         "(550 Failed to open file.)"},
        {"530 Login incorrect.",
         "the server refused the user name or password (530 Login incorrect.)"},
        {"421 Timeout.", "the server closed the connection (421 Timeout.)"},
        {"450 Busy", "the server refused for now; a later try may work (450 Busy)"},
        {"150 Opening BINARY mode data connection",
         "the connection ended before all the data came "
         "(150 Opening BINARY mode data connection)"},
        // A command nobody answered: named, never with its argument.
        {"PASS secret", "the connection closed before the server answered PASS"},
        {"PASV", "the connection closed before the server answered PASV"},
        {"GET /x.bin HTTP/1.0", "the connection closed before the server answered GET"},
        {"PASV reply names 10.0.0.1; connecting to 127.0.0.1 instead",
         "PASV reply names 10.0.0.1; connecting to 127.0.0.1 instead"},
        {"No data within the stall limit: timed out", "the server stopped sending data: timed out"},
        {"No complete reply within the stall limit", "the server stopped answering: timed out"},
        {"No file size in the reply", "the server gave no size for the file: it may not be there"},
        {"Cannot connect to 127.0.0.1: Connection refused",
         "cannot connect to 127.0.0.1: Connection refused"},
        {"Job failed: cannot read x.bin1; part files kept", "cannot read x.bin1; part files kept"},
        {"TLS handshake with a.test failed: certificate has expired",
         "TLS handshake with a.test failed: certificate has expired"},
    };
    for (const Case& c : cases) EXPECT_EQ(PlainFailure(c.lastLine), c.plain) << c.lastLine;
}

TEST(FailureText, JobLinesGroupThreadsByReason) {
    const std::vector<std::string> lines = {"Cannot connect to h: Connection refused", "",
                                            "Cannot connect to h: Connection refused",
                                            "HTTP/1.1 404 Not Found"};
    struct Case {
        std::vector<bool> failed;
        std::vector<std::string> expected;
    } cases[] = {
        {{true, false, true, false}, {"Threads #0, #2: cannot connect to h: Connection refused"}},
        {{false, true, false, true},
         {"Thread #1 failed", "Thread #3: the file is not on the server (HTTP/1.1 404 Not Found)"}},
        // No thread failed: the job's own reason, logged on thread 0.
        {{false, false, false, false}, {"cannot connect to h: Connection refused"}},
    };
    for (const Case& c : cases) EXPECT_EQ(JobFailureLines(c.failed, lines), c.expected);
}

// A thread's failure value wins over its last log line, which a thread without one keeps.
TEST(FailureText, ValuesComeBeforeLogLines) {
    const std::vector<std::string> lines = {"HEAD /g.bin HTTP/1.0", "HEAD /g.bin HTTP/1.0",
                                            "No data within the stall limit: timed out"};
    const std::vector<Failure> failures = {
        {Failure::Kind::Network, "the connection closed before the server answered HEAD", false},
        {Failure::Kind::Network, "the connection closed before the server answered HEAD", false},
        {}};
    EXPECT_EQ(JobFailureLines({true, true, true}, lines, failures),
              (std::vector<std::string>{
                  "Threads #0, #1: the connection closed before the server answered HEAD",
                  "Thread #2: the server stopped sending data: timed out"}));
}

}  // namespace
