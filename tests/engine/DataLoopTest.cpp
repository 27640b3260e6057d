// The data loop's reads: never more than the buffer or the segment, one report per chunk,
// each chunk following the last, after a header leftover and after a resume, with buffers
// that are and are not whole pages. Every case checks the bytes.
#include <cstdint>
#include <ostream>
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
