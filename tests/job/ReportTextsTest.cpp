// The texts a progress report leaves in the job's view are those of ThreadBarTooltip and
// JobProgressText, character for character, over the whole 64-bit range (the report builds
// them without printf, once per received chunk).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "job/DownloadJob.h"
#include "job/ProgressTexts.h"
#include "settings/Settings.h"

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

struct Report {
    int64_t done;
    int64_t total;
    int64_t delta;
};

}  // namespace

TEST(ReportTexts, MatchTheFormattedTextsForEveryRange) {
    const std::vector<int64_t> fileSizes = {-1, 0, 1, 1000, 1073741824, kMax};
    const std::vector<Report> reports = {
        {0, 0, 0},
        {1, 1, 1},
        {-1, 5, 4095},
        {4096, 1073741824, 4096},
        {123456789012345, 999999999999999, 987654321},
        {kMax, kMax, kMax / 2},
        {kMin, -1, -7},
        {kMin, kMin, kMax / 2 - 1000000000},  // the sum stays below the maximum
    };
    for (int64_t fileSize : fileSizes) {
        SharedSettings settings;
        DownloadJob job(settings, nullptr);
        job.ResetJob("http://127.0.0.1/f", "/nonexistent/f", 2);
        job.Fields().fileSize = fileSize;
        int64_t receivedTotal = 0;
        for (const Report& r : reports) {
            job.ReportProgress(r.done, r.total, r.delta, 1);
            receivedTotal += r.delta;
            const JobView view = job.Snapshot();
            EXPECT_EQ(view.threads[1].tooltip, ThreadBarTooltip(r.done, r.total));
            // No data tick yet: the speed is taken over 1000 ms.
            const unsigned percent = JobPercent(receivedTotal, fileSize);
            EXPECT_EQ(view.text, JobProgressText(receivedTotal, fileSize, percent,
                                                 JobSpeed(receivedTotal, 1000)))
                << "file size " << fileSize << ", received " << receivedTotal;
            EXPECT_EQ(view.threads[0].tooltip, kConnectingTooltip);
        }
        job.SetClosing();
    }
}
