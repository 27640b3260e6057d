// A job whose one connection stalls: the threads that finish take its remainder, the stalled
// owner stops at the cut, and the file ends byte-exact with no taken part left behind.
#include <dirent.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "job/DownloadJob.h"
#include "settings/Settings.h"
#include "support/FakeFtpServer.h"
#include "support/FakeHttpServer.h"
#include "support/TempDir.h"

using testsupport::FakeFtpServer;
using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;
using testsupport::PatternBytes;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

struct ResplitCase {
    const char* name;
    int threads;
    int stalled;  // GETs that stop sending after stallAfter bytes and hold on
};

class Resplit : public ::testing::TestWithParam<ResplitCase> {};

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* e = d != nullptr ? ::readdir(d) : nullptr) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    if (d != nullptr) ::closedir(d);
    return names;
}

// Waits (bounded) for the job's verdict; log gets every thread's lines. A job that does not
// finish is stopped.
bool WaitForVerdict(DownloadJob& job, std::string& log) {
    const bool finished = job.WaitFinished(20000);
    for (const auto& line : job.TakeLogLines()) {
        log += "#" + std::to_string(line.first) + " " + line.second;
    }
    if (!finished) job.StopAllWorkers();
    return finished;
}

TEST_P(Resplit, StalledRangesAreTakenAndTheFileIsExact) {
    const ResplitCase& c = GetParam();
    TempDir dir;
    FakeHttpOptions options;
    options.body = PatternBytes(800000, 31);
    options.stallAfter = 30000;
    options.stallConnections = c.stalled;
    FakeHttpServer server(options);
    SharedSettings settings;
    settings.Update([](Settings& s) { s.attempts = 2; });
    // The stall limit is far beyond the job's bound: only a cut ends the stalled reads.
    JobOptions limits(3000, 60000, 0);
    limits.resplitRules = ResplitRules{16384, 0, 0, 150, 10, 16384};
    DownloadJob job(settings, nullptr);
    const std::string target = dir.File("f.bin");
    job.Start(server.Url(), target, c.threads, limits);
    std::string log;
    const bool finished = WaitForVerdict(job, log);
    ASSERT_TRUE(finished) << log;
    EXPECT_EQ(job.Snapshot().text.rfind("Job completed successfully", 0), 0u) << log;
    EXPECT_TRUE(ReadFileBytes(target) == options.body);
    EXPECT_NE(log.find("Takes bytes"), std::string::npos) << log;
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"f.bin"});
    job.StopAllWorkers();
}

const ResplitCase kCases[] = {
    {"OneOfFour", 4, 1},
    {"TwoOfThree", 3, 2},
};

INSTANTIATE_TEST_SUITE_P(Cases, Resplit, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace

namespace {

// One of two connections stops short of its end with a piece too small to split: the other
// thread races it for that piece and wins; the owner keeps only what it had claimed, no byte
// is counted twice and no part is left behind.
class Race : public ::testing::TestWithParam<bool> {};

TEST_P(Race, TheLastPieceOfAStalledRangeIsWonOnce) {
    const bool ftp = GetParam();
    TempDir dir;
    const std::string body = PatternBytes(400000, 32);
    std::unique_ptr<FakeHttpServer> http;
    std::unique_ptr<FakeFtpServer> ftpServer;
    if (ftp) {
        ftpServer = std::make_unique<FakeFtpServer>(body);
        ftpServer->HoldDataAfter(150000, 1);
    } else {
        FakeHttpOptions options;
        options.body = body;
        options.stallAfter = 150000;
        options.stallConnections = 1;
        http = std::make_unique<FakeHttpServer>(options);
    }
    SharedSettings settings;
    settings.Update([](Settings& s) {
        s.attempts = 3;
        s.passivemode = true;
    });
    // No stall wake and short claims: only the race ends the stalled read early.
    JobOptions limits(3000, 3000, 0);
    limits.sizeFromFirstGet = false;
    limits.resplitRules.minWatchMs = 0;
    limits.resplitRules.stalledMs = 600000;
    limits.resplitRules.pollMs = 10;
    limits.resplitRules.claimBytes = 16384;
    limits.resplitRules.replaceSlow = false;
    limits.resplitRules.raceMinSeconds = 0.2;
    DownloadJob job(settings, nullptr);
    const std::string target = dir.File("f.bin");
    job.Start(ftp ? ftpServer->Url() : http->Url(), target, 2, limits);
    std::string log;
    const bool finished = WaitForVerdict(job, log);
    ASSERT_TRUE(finished) << log;
    const JobView view = job.Snapshot();
    EXPECT_TRUE(view.succeeded) << log;
    EXPECT_TRUE(ReadFileBytes(target) == body);
    EXPECT_NE(log.find("Won the race: bytes "), std::string::npos) << log;
    EXPECT_EQ(view.receivedTotal, 400000);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"f.bin"});
    job.StopAllWorkers();
}

INSTANTIATE_TEST_SUITE_P(Protocols, Race, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Ftp" : "Http"; });

}  // namespace
