// The data loop's reads: never more than the segment, one report per chunk of the buffer
// (a read carries many), each chunk following the last, after a header leftover and after a
// resume, with buffers that are and are not whole pages; a stop while a read is handed on,
// and bytes that arrive and then stall. Every case checks the bytes.
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <thread>
#include <vector>

#include "HttpTestFixture.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;
using testsupport::PatternBytes;
using testsupport::ProgressReport;

namespace {

struct LoopCase {
    int bufsize;
    size_t resumeBytes;  // bytes already in the part file before the attempt
};

void PrintTo(const LoopCase& c, std::ostream* out) {
    *out << "bufsize " << c.bufsize << ", resume " << c.resumeBytes;
}

class DataLoopTest : public HttpEngineTest, public ::testing::WithParamInterface<LoopCase> {};

// The chunks that carried data, in order (the announcement reports no bytes).
std::vector<ProgressReport> DataReports(const testsupport::FakeJobHost& host) {
    std::vector<ProgressReport> data;
    for (const ProgressReport& report : host.Progress(0)) {
        if (report.delta > 0) data.push_back(report);
    }
    return data;
}

}  // namespace

TEST_P(DataLoopTest, ChunksFitTheBufferAndFollowEachOther) {
    const LoopCase c = GetParam();
    FakeHttpOptions options;
    options.body = PatternBytes(300000, 7);
    // Header and body in one write: the header read carries body bytes, the loop's first
    // chunk.
    options.oneWrite = true;
    FakeHttpServer server(options);
    settings.bufsize = c.bufsize;
    testsupport::WriteFileBytes(target, server.Body().substr(0, c.resumeBytes));
    auto host = MakeHost(server.Url(), 1);

    ASSERT_TRUE(RunAttempt(*host, 0));
    ASSERT_EQ(Part(0), server.Body());

    const std::vector<ProgressReport> chunks = DataReports(*host);
    ASSERT_GE(chunks.size(), 2u);
    EXPECT_EQ(chunks.back().done, static_cast<int64_t>(server.Body().size()));
    for (size_t i = 1; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].done - chunks[i].delta, chunks[i - 1].done) << i;
        EXPECT_LE(chunks[i].delta, c.bufsize) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(BufferAndResume, DataLoopTest,
                         ::testing::Values(LoopCase{4096, 0}, LoopCase{4096, 1234},
                                           LoopCase{16384, 5000}, LoopCase{12288, 0},
                                           LoopCase{5000, 777}, LoopCase{1024, 3000}),
                         [](const ::testing::TestParamInfo<LoopCase>& caseInfo) {
                             return "Buffer" + std::to_string(caseInfo.param.bufsize) + "Resume" +
                                    std::to_string(caseInfo.param.resumeBytes);
                         });

namespace {

// Stops the session while the first read that carries several chunks is being handed on.
class StoppingHost : public testsupport::FakeJobHost {
public:
    using FakeJobHost::FakeJobHost;
    void ReportChunks(int64_t done, int64_t total, int64_t delta, int64_t chunk,
                      int threadNumber) override {
        if (session != nullptr && delta > chunk) {
            session->Stop();
            session = nullptr;
            stoppedAt = done;
        }
        FakeJobHost::ReportChunks(done, total, delta, chunk, threadNumber);
    }
    WTransferSession* session = nullptr;
    int64_t stoppedAt = -1;
};

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

TEST_F(HttpEngineTest, StopWhileAReadIsHandedOnKeepsTheWholeReadAndResumes) {
    FakeHttpServer server(Serving(600000));
    settings.bufsize = 4096;
    StoppingHost host(settings, server.Url(), target, 1);
    {
        WTransferSession session(host, host.SettingsSnapshot());
        session.SetPartFile(target);
        host.session = &session;
        EXPECT_FALSE(session.RunAttempt());
    }
    ASSERT_GT(host.stoppedAt, 0) << "no read carried more than one chunk";
    // Every byte of the read in hand went to the file and was counted, and nothing after it.
    const std::string part = Part(0);
    EXPECT_EQ(static_cast<int64_t>(part.size()), host.stoppedAt);
    EXPECT_EQ(host.DeltaSum(0), host.stoppedAt);
    EXPECT_EQ(part, server.Body().substr(0, part.size()));

    auto again = MakeHost(server.Url(), 1);
    ASSERT_TRUE(RunAttempt(*again, 0));
    EXPECT_EQ(Part(0), server.Body());
}

TEST_F(HttpEngineTest, BytesBeforeAStallAreInTheFileWhileTheConnectionWaits) {
    FakeHttpOptions options = Serving(200000);
    options.stallAfter = 10000;
    options.stallConnections = 1;
    FakeHttpServer server(options);
    auto host = MakeHost(server.Url(), 1);
    WTransferSession session(*host, host->SettingsSnapshot());
    session.SetPartFile(target);
    std::thread attempt([&] { session.RunAttempt(); });

    // Short reads go to the file at once: nothing waits in memory for the stall to end.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (FileSize(target) < 10000 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int64_t whileStalled = FileSize(target);
    session.Stop();
    attempt.join();
    EXPECT_EQ(whileStalled, 10000);
    EXPECT_EQ(Part(0), server.Body().substr(0, 10000));
    EXPECT_EQ(host->DeltaSum(0), 10000);
}
