// brindle-get against servers whose ranged bytes cannot be trusted: one that ignores the
// asked-for offset (FTP REST, HTTP Range) and a file changed under the same ETag. The parts
// cannot be joined; the job fetches the whole file over one connection and ends with its
// exact bytes.
#include <gtest/gtest.h>

#include <memory>

#include "ProcessRunner.h"
#include "support/FakeFtpServer.h"
#include "support/FakeHttpServer.h"
#include "support/TempDir.h"

using clitest::ProcessResult;
using clitest::RunProcess;
using testsupport::FakeFtpServer;
using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;
using testsupport::PatternBytes;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

constexpr int kThreads = 4;
constexpr size_t kSize = 40000;
constexpr size_t kSegment = kSize / kThreads;

enum class Server { HttpIgnoresOffsets, FtpIgnoresRest, FtpRefusesOffsets, HttpSameEtagNewBytes };
enum class Parts { None, SixtyPercent, OldCompleteWithRecords };

struct TrustCase {
    const char* name;
    Server server;
    Parts parts;
    const char* logged;  // a line the job must log on its way to the whole file
};

class ServerTrust : public ::testing::TestWithParam<TrustCase> {
protected:
    std::string Target() const { return work.File("file.bin"); }
    std::string Part(int i) const { return Target() + (i == 0 ? "" : std::to_string(i)); }

    TempDir work;
    TempDir config;
};

TEST_P(ServerTrust, EndsWithTheWholeFileFetchedOnce) {
    const TrustCase& c = GetParam();
    const std::string body = PatternBytes(kSize, 21);
    std::unique_ptr<FakeHttpServer> http;
    std::unique_ptr<FakeFtpServer> ftp;
    std::string url;
    if (c.server == Server::FtpIgnoresRest || c.server == Server::FtpRefusesOffsets) {
        ftp = std::make_unique<FakeFtpServer>(body);
        ftp->SetIgnoreRest(c.server == Server::FtpIgnoresRest);
        // Takes the probe's offset, then refuses the real ones.
        if (c.server == Server::FtpRefusesOffsets) {
            ftp->SetHook(
                [](int, const std::string& verb, const std::string& arg, std::string& reply) {
                    if (verb == "REST" && arg != "64" && arg != "0")
                        reply = "554 Restart not valid\r\n";
                });
        }
        url = ftp->Url();
    } else {
        FakeHttpOptions options;
        options.body = body;
        options.ignoreOffsets = c.server == Server::HttpIgnoresOffsets;
        options.extraHeaders = "ETag: \"same\"\r\n";
        http = std::make_unique<FakeHttpServer>(options);
        url = http->Url();
    }
    if (c.parts == Parts::SixtyPercent) {
        for (int i = 0; i < kThreads; ++i) {
            WriteFileBytes(Part(i), body.substr(kSegment * i, kSegment * 6 / 10));
        }
    } else if (c.parts == Parts::OldCompleteWithRecords) {
        // Parts 1-3 of an earlier file of the same size and ETag, each with the record and
        // lead that job wrote; segment 0 is fetched now from the new file.
        const std::string old = PatternBytes(kSize, 22);
        for (int i = 1; i < kThreads; ++i) {
            WriteFileBytes(Part(i), old.substr(kSegment * i, kSegment));
            const SegmentLead lead{4096, WindowDigest(old.data() + kSegment * i - 4096, 4096)};
            if (!testsupport::WriteRecord(
                    Part(i), {static_cast<int64_t>(kSize), kThreads,
                              static_cast<int64_t>(kSegment * i), "ETag \"same\"", lead})) {
                GTEST_SKIP() << "no extended attributes here";
            }
        }
    }
    const ProcessResult r =
        RunProcess(BRINDLE_GET_PATH,
                   {"--connect-timeout", "3", "--stall-timeout", "10", "-v", "-y", "-a", "2", "-n",
                    std::to_string(kThreads), "-o", Target(), url},
                   work.Path(), {"BRINDLE_CONFIG_DIR=" + config.Path()}, 60000);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("Job completed successfully at ", 0), 0u) << r.out;
    EXPECT_TRUE(ReadFileBytes(Target()) == body);
    EXPECT_NE(r.err.find(c.logged), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the whole file is fetched again over one connection"), std::string::npos)
        << r.err;
    // Which side was wrong was found before anything was thrown away.
    EXPECT_EQ(r.err.find("is stale"), std::string::npos) << r.err;
}

const TrustCase kTrustCases[] = {
    {"HttpFresh", Server::HttpIgnoresOffsets, Parts::None, "the server ignores offsets"},
    {"FtpFresh", Server::FtpIgnoresRest, Parts::None, "the server ignores offsets"},
    {"HttpResumed", Server::HttpIgnoresOffsets, Parts::SixtyPercent, "it ignores offsets"},
    {"FtpResumed", Server::FtpIgnoresRest, Parts::SixtyPercent, "it ignores offsets"},
    {"FtpRefusesOffsets", Server::FtpRefusesOffsets, Parts::None, "the server took offsets before"},
    {"SameEtagChangedFile", Server::HttpSameEtagNewBytes, Parts::OldCompleteWithRecords,
     "(the remote file changed, or the server is inconsistent)"},
};

INSTANTIATE_TEST_SUITE_P(Cases, ServerTrust, ::testing::ValuesIn(kTrustCases),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
