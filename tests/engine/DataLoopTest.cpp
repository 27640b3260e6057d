// The data loop's read lengths: never more than the buffer or the segment, and with a buffer of
// whole pages no write that runs from inside one aligned block of the part file into the next
// (after a header leftover or a resume), whatever the reads deliver. Every case checks the
// bytes.
#include <cstdint>
#include <ostream>
#include <vector>

#include "HttpTestFixture.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;
using testsupport::PatternBytes;
using testsupport::ProgressReport;

namespace {

constexpr int64_t kPage = 4096;

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

TEST_P(DataLoopTest, ChunksFitTheBufferAndStayInAlignedBlocks) {
    const LoopCase c = GetParam();
    FakeHttpOptions options;
    options.body = PatternBytes(300000, 7);
    // Header and body in one write: the header read carries body bytes, so the part file's
    // end sits inside a page before the loop's first read.
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
    // The first chunk is the leftover of the header read; it must leave the file unaligned,
    // or the case proves nothing.
    ASSERT_NE(chunks[0].done % kPage, 0) << "the header read carried no usable leftover";
    // Writes keep to blocks of the largest power of two dividing the buffer, when that is a
    // whole page or more.
    const int64_t block = c.bufsize & -c.bufsize;
    for (size_t i = 1; i < chunks.size(); ++i) {
        const int64_t start = chunks[i].done - chunks[i].delta;
        EXPECT_EQ(start, chunks[i - 1].done) << i;
        EXPECT_LE(chunks[i].delta, c.bufsize) << i;
        if (block >= kPage && start % block != 0) {
            const int64_t blockEnd = (start / block + 1) * block;
            EXPECT_LE(chunks[i].done, blockEnd)
                << "chunk " << i << " crosses a block from " << start;
        }
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
