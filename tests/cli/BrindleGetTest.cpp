// End-to-end runs of the built brindle-get against the in-process fake HTTP server on
// 127.0.0.1: bytes, exit status, texts and the part files left behind.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "ProcessRunner.h"
#include "support/FakeHttpServer.h"
#include "support/TempDir.h"

using clitest::ChildProcess;
using clitest::ProcessResult;
using clitest::RunProcess;
using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;
using testsupport::FileExists;
using testsupport::PatternBytes;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

constexpr int kRunLimitMs = 60000;

class BrindleGetTest : public ::testing::Test {
protected:
    // Runs brindle-get in the work directory with a private settings directory and short
    // socket limits, so no run can hang on a socket.
    ProcessResult Run(std::vector<std::string> args, int limitMs = kRunLimitMs) {
        args.insert(args.begin(), {"--connect-timeout", "3", "--stall-timeout", "10"});
        return RunProcess(BRINDLE_GET_PATH, args, work.Path(), Env(), limitMs);
    }
    std::vector<std::string> Env() const { return {"BRINDLE_CONFIG_DIR=" + config.Path()}; }
    std::string Target() const { return work.File("file.bin"); }
    static bool Succeeded(const ProcessResult& r) {
        const size_t verdictEnd = r.out.find(" bps\nSaved ");
        return r.exitCode == 0 && r.out.rfind("Job completed successfully at ", 0) == 0 &&
               verdictEnd != std::string::npos &&
               r.out.find('\n', verdictEnd + 5) + 1 == r.out.size();
    }
    int64_t SizeOf(const std::string& path) const { return ReadFileBytes(path).size(); }

    TempDir work;
    TempDir config;
};

class ThreadCounts : public BrindleGetTest, public ::testing::WithParamInterface<int> {};

TEST_P(ThreadCounts, DownloadsByteExactAndLeavesNoParts) {
    const int threads = GetParam();
    FakeHttpOptions options;
    options.body = PatternBytes(1 << 20, 7);
    FakeHttpServer server(options);
    // No -o: the name comes from the URL and lands in the working directory.
    const ProcessResult r = Run({"-n", std::to_string(threads), server.Url("/file.bin")});
    ASSERT_TRUE(Succeeded(r)) << r.exitCode << "\nout: " << r.out << "\nerr: " << r.err;
    EXPECT_EQ(ReadFileBytes(Target()), options.body);
    for (int i = 1; i < 32; ++i) EXPECT_FALSE(FileExists(Target() + std::to_string(i))) << i;
    EXPECT_EQ(server.Requests("GET").size(), static_cast<size_t>(threads));
    EXPECT_EQ(r.err, "");  // no terminal: no live display
}

INSTANTIATE_TEST_SUITE_P(BrindleGet, ThreadCounts, ::testing::Values(1, 3, 8));

TEST_F(BrindleGetTest, KeepPartsKeepsThem) {
    FakeHttpOptions options;
    options.body = PatternBytes(300001, 3);
    FakeHttpServer server(options);
    const ProcessResult r = Run({"--keep-parts", "-n", "3", "-o", "kept.bin", server.Url()});
    ASSERT_TRUE(Succeeded(r)) << r.out << r.err;
    const std::string target = work.File("kept.bin");
    EXPECT_EQ(ReadFileBytes(target), options.body);
    EXPECT_EQ(ReadFileBytes(target + "1"), options.body.substr(100000, 100000));
    EXPECT_EQ(ReadFileBytes(target + "2"), options.body.substr(200000));
}

TEST_F(BrindleGetTest, SettingsFileIsReadAndNeverWritten) {
    const std::string ini = "[settings]\r\ndelfiles=0\r\nattempts=1\r\n";
    WriteFileBytes(config.File("Brindle.ini"), ini);
    FakeHttpOptions options;
    options.body = PatternBytes(5000, 4);
    FakeHttpServer server(options);
    const ProcessResult r = Run({"-n", "2", server.Url()});
    ASSERT_TRUE(Succeeded(r)) << r.out << r.err;
    EXPECT_EQ(ReadFileBytes(Target()), options.body);
    EXPECT_TRUE(FileExists(Target() + "1"));  // delfiles=0 from the file
    EXPECT_EQ(ReadFileBytes(config.File("Brindle.ini")), ini);
}

TEST_F(BrindleGetTest, VerboseLogLinesArePrefixed) {
    FakeHttpOptions options;
    options.body = PatternBytes(2000, 5);
    FakeHttpServer server(options);
    const ProcessResult r = Run({"-v", "-n", "2", server.Url()});
    ASSERT_TRUE(Succeeded(r)) << r.out << r.err;
    EXPECT_NE(r.err.find("[#0] ATTEMPTION #0\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[#1] GET /file.bin HTTP/1.0\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[#1] Thread #1. complited with 1\n"), std::string::npos);
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
}

TEST_F(BrindleGetTest, RefusedAndMalformedUrlsAreUsageErrors) {
    for (const std::string url : {"garbage", "http://", "gopher://127.0.0.1/x", "file:///x"}) {
        const ProcessResult r = Run({url});
        EXPECT_EQ(r.exitCode, 2) << url;
        EXPECT_EQ(r.out, "") << url;
        EXPECT_EQ(r.err.rfind("brindle-get: ", 0), 0u) << url << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    const ProcessResult r = Run({"http://127.0.0.1/dir/"});  // nothing to name the file after
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("-o"), std::string::npos) << r.err;
    EXPECT_EQ(Run({"-n", "0", "http://127.0.0.1/f"}).exitCode, 2);
}

TEST_F(BrindleGetTest, RefusedPortFailsWithinItsAttempts) {
    // A port nobody listens on: bind one, note it, close it.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/f";

    const ProcessResult r = Run({"-a", "3", "-n", "2", "--retry-delay", "0", url}, 20000);
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_EQ(r.out, "Job failed\n");
    // One line for the one reason both threads failed with, naming the port.
    EXPECT_EQ(r.err, "brindle-get: " + url + ": threads #0, #1 failed: cannot connect to " +
                         "127.0.0.1 port " + std::to_string(ntohs(address.sin_port)) +
                         ": Connection refused\n");
    EXPECT_FALSE(FileExists(work.File("f")));
}

// Each kind of failure has its exit status and one line naming the URL and the reason.
TEST_F(BrindleGetTest, FailuresExitByKind) {
    struct Case {
        int status;          // the server's answer to every request
        std::string scheme;  // https against a plain server: the handshake fails
        std::string output;  // -o
        int exitCode;
        std::string reason;
        long lines = 1;  // at most, one per distinct reason
    };
    const Case cases[] = {
        {404, "http", "", 3, "failed: HTTP/1.1 404 Not Found\n"},
        {500, "http", "", 1, "failed: HTTP/1.1 500 Status\n"},
        // The fake answers no ClientHello: the handshake waits out the 3 s connect limit.
        {200, "https", "", 5, "failed: TLS handshake with 127.0.0.1 failed"},
        // A thread that gets to try names its own part file.
        {200, "http", "no/such/folder/f.bin", 6, "failed: Cannot open ", 2},
    };
    for (const Case& c : cases) {
        FakeHttpOptions options;
        options.body = PatternBytes(10000, 3);
        if (c.status != 200) options.headStatus = options.getStatus = c.status;
        FakeHttpServer server(options);
        std::string url = server.Url("/f.bin");
        url.replace(0, 4, c.scheme);
        std::vector<std::string> args{"-a", "1", "-n", "2", url};
        if (!c.output.empty()) args.insert(args.begin(), {"-o", work.File(c.output)});
        const ProcessResult r = Run(args, 20000);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.status << " " << r.err;
        EXPECT_EQ(r.err.rfind("brindle-get: " + url + ": thread", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        const long lines = std::count(r.err.begin(), r.err.end(), '\n');
        EXPECT_TRUE(lines >= 1 && lines <= c.lines) << r.err;
    }
}

TEST_F(BrindleGetTest, QuietRunsSayNothingAndContinueAnswersTheQuestion) {
    FakeHttpOptions options;
    options.body = PatternBytes(200000, 4);
    FakeHttpServer server(options);
    // The second run finds the first one's file: -c (like -y) continues instead of refusing.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-s", "-O", "-n", "2", server.Url("/file.bin")},
          std::vector<std::string>{"--quiet", "-c", "-n", "2", server.Url("/file.bin")}}) {
        const ProcessResult r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(ReadFileBytes(Target()), options.body);
    }
}

// A target longer than the remote file: -c keeps every byte of it and fails; -y may cut it.
TEST_F(BrindleGetTest, ContinueNeverCutsATargetLongerThanTheRemoteFile) {
    FakeHttpOptions options;
    options.body = PatternBytes(10000, 12);
    FakeHttpServer server(options);
    const std::string mine = PatternBytes(15000, 13);
    WriteFileBytes(Target(), mine);
    ProcessResult r = Run({"-c", "-n", "2", server.Url()});
    EXPECT_EQ(r.exitCode, 6) << r.out << r.err;
    EXPECT_NE(r.err.find("is longer than the remote file (10000 bytes): kept as it is"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(ReadFileBytes(Target()) == mine);
    EXPECT_TRUE(server.Requests("GET").empty());
    r = Run({"-y", "-n", "2", server.Url()});
    ASSERT_TRUE(Succeeded(r)) << r.out << r.err;
    EXPECT_EQ(ReadFileBytes(Target()), options.body);
}

// A size the server only claims (HEAD and every Content-Range say it; each answer carries the
// first 64 KiB and ends): more than the disk holds fails once the first reply says it, nothing
// written; a size that fits leaves no reserved room behind the failed parts.
TEST_F(BrindleGetTest, ClaimedSizesNeverFillTheDisk) {
    for (const std::string claimed : {"1125899906842624", "67108864"}) {
        const bool huge = claimed.size() > 10;
        FakeHttpOptions options;
        options.body = PatternBytes(65536, 14);
        options.rewrite = [claimed](const testsupport::FakeHttpRequest& request,
                                    const std::string& answer) {
            const size_t end = answer.find("\r\n\r\n");
            std::string head = answer.substr(0, end + 2);
            const std::string body = answer.substr(end + 4);
            long long first = 0, last = std::stoll(claimed) - 1;
            std::string fields = "Content-Length: " + claimed + "\r\n";
            if (std::sscanf(request.range.c_str(), "bytes=%lld-%lld", &first, &last) >= 1) {
                fields = "Content-Length: " + std::to_string(last - first + 1) +
                         "\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                         std::to_string(last) + "/" + claimed + "\r\n";
            }
            head = head.substr(0, head.find("Content-Length:")) + fields +
                   "Accept-Ranges: bytes\r\nConnection: close\r\n";
            return head + "\r\n" + (request.method == "GET" ? body : "");
        };
        FakeHttpServer server(options);
        const ProcessResult r = Run({"-y", "-a", "1", "-n", "2", server.Url()});
        // No room is the local file's failure; a body that ends early, the network's.
        EXPECT_EQ(r.exitCode, huge ? 6 : 4) << r.out << r.err;
        EXPECT_EQ(r.err.find("Not enough room for ") != std::string::npos, huge) << r.err;
        // The first GET asks from byte 0 before the size is known.
        EXPECT_EQ(server.Requests("GET").size(), huge ? 1u : 2u) << claimed;
        for (const std::string& part : {Target(), Target() + "1"}) {
            struct stat st {};
            if (::stat(part.c_str(), &st) == 0) {
                EXPECT_LT(st.st_blocks * 512, 4 << 20) << part << " keeps reserved room";
            }
        }
    }
}

TEST_F(BrindleGetTest, ExistingFilesWithoutATerminalAreRefused) {
    WriteFileBytes(Target(), "old");
    WriteFileBytes(Target() + "2", "older");
    FakeHttpOptions options;
    options.body = PatternBytes(3000, 6);
    FakeHttpServer server(options);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-n", "3", server.Url()},
          std::vector<std::string>{"--no", "-n", "3", server.Url()}}) {
        const ProcessResult r = Run(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("brindle-get: ", 0), 0u) << r.err;
    }
    EXPECT_EQ(server.ConnectionCount(), 0);
    EXPECT_EQ(ReadFileBytes(Target()), "old");
    EXPECT_EQ(ReadFileBytes(Target() + "2"), "older");
}

TEST_F(BrindleGetTest, ServerWithoutRangesNeverAppendsStaleParts) {
    // Stale parts of an earlier job; this server cannot resume, so thread 0 fetches the whole
    // file and the stale parts must not end up in it.
    WriteFileBytes(Target() + "1", "stale one");
    WriteFileBytes(Target() + "2", "stale two");
    FakeHttpOptions options;
    options.body = PatternBytes(40000, 8);
    options.acceptRanges = FakeHttpOptions::AcceptRanges::Absent;
    options.ignoreRanges = true;
    FakeHttpServer server(options);
    const ProcessResult r = Run({"-y", "-n", "3", server.Url()});
    ASSERT_TRUE(Succeeded(r)) << r.out << r.err;
    EXPECT_EQ(ReadFileBytes(Target()), options.body);
    EXPECT_FALSE(FileExists(Target() + "1"));
    EXPECT_FALSE(FileExists(Target() + "2"));
}

TEST_F(BrindleGetTest, InterruptKeepsPartsAndARerunResumes) {
    FakeHttpOptions options;
    options.body = PatternBytes(600000, 9);
    // The three GETs of the first run stop after 5096 bytes and hold their connections open:
    // parts 1 and 2 came 4096 bytes early, to be compared with the end of the part before.
    options.stallAfter = 5096;
    options.stallConnections = 3;
    FakeHttpServer server(options);
    {
        ChildProcess child(BRINDLE_GET_PATH, {"--stall-timeout", "30", "-n", "3", server.Url()},
                           work.Path(), Env());
        // Wait (bounded) until every thread holds its first bytes.
        for (int i = 0; i < 500; ++i) {
            if (SizeOf(Target()) == 5096 && SizeOf(Target() + "1") == 1000 &&
                SizeOf(Target() + "2") == 1000) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_EQ(SizeOf(Target() + "2"), 1000);
        child.Signal(SIGINT);
        const ProcessResult r = child.Wait(10000);
        EXPECT_EQ(r.exitCode, 130) << r.err;
        EXPECT_LT(r.took.count(), 10000);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("brindle-get: interrupted"), std::string::npos) << r.err;
    }
    EXPECT_EQ(SizeOf(Target()), 5096);
    EXPECT_EQ(SizeOf(Target() + "1"), 1000);
    EXPECT_EQ(SizeOf(Target() + "2"), 1000);

    const size_t getsBefore = server.Requests("GET").size();
    const ProcessResult r = Run({"-y", "-n", "3", server.Url()});
    ASSERT_TRUE(Succeeded(r)) << r.out << r.err;
    EXPECT_EQ(ReadFileBytes(Target()), options.body);
    EXPECT_FALSE(FileExists(Target() + "1"));
    // The rerun asked only for what was missing, and again for the last bytes each part held
    // (at most 4096), to compare them with the server's.
    const auto gets = server.Requests("GET");
    ASSERT_EQ(gets.size(), getsBefore + 3);
    std::vector<std::string> ranges;
    for (size_t i = getsBefore; i < gets.size(); ++i) ranges.push_back(gets[i].range);
    std::sort(ranges.begin(), ranges.end());
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=1000-199999", "bytes=200000-399999",
                                                "bytes=400000-599999"}));
}

}  // namespace
