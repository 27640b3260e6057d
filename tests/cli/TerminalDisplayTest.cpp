// The live display's figures (binary units, rates over a window of samples, time left), its
// lines at a given width, and how a frame is drawn over the last one after a resize.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "cli/HumanUnits.h"
#include "cli/RateWindow.h"
#include "cli/TerminalDisplay.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;

TEST(HumanUnits, SizesRatesAndDurations) {
    const std::pair<std::string, const char*> cases[] = {
        {FormatBytes(-5), "0 B"},
        {FormatBytes(1023), "1023 B"},
        {FormatBytes(1536), "1.5 KiB"},
        {FormatBytes(1048524), "1023.9 KiB"},
        {FormatBytes(1048575), "1.0 MiB"},  // rounds up into the next unit
        {FormatBytes(12 * kMiB + 300 * 1024), "12.3 MiB"},
        {FormatBytes(5 * 1024 * 1024 * kMiB), "5120.0 GiB"},  // GiB is the largest unit
        {FormatRate(-1), "--"},
        {FormatRate(1023.6), "1.0 KiB/s"},
        {FormatDuration(-1), "--"},
        {FormatDuration(59), "59s"},
        {FormatDuration(83), "1m23s"},
        {FormatDuration(7500), "2h05m"},
        {FormatDuration(86400), "1d00h"},
        {FormatDuration(100 * 86400), "--"},
    };
    for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

// Samples every 100 ms from fromMs to toMs, growing by bytesPerMs from startBytes, after those
// given.
std::vector<std::pair<int64_t, int64_t>> Steady(std::vector<std::pair<int64_t, int64_t>> before,
                                                int64_t fromMs, int64_t toMs, int64_t startBytes,
                                                int64_t bytesPerMs) {
    for (int64_t t = fromMs; t <= toMs; t += 100) {
        before.emplace_back(t, startBytes + (t - fromMs) * bytesPerMs);
    }
    return before;
}

TEST(RateWindow, CurrentAndAverageRatesAndEta) {
    const struct {
        const char* name;
        std::vector<std::pair<int64_t, int64_t>> samples;
        double current, average;
        int64_t etaOf1MB;
    } cases[] = {
        {"steady, longer than the window", Steady({}, 0, 10000, 0, 100), 1e5, 1e5, 10},
        // The bytes before the first sample (a resumed part) are not a rate.
        {"baseline of a resumed job", Steady({}, 0, 1000, 5 * kMiB, 100), 1e5, 1e5, 10},
        {"time before the first byte", Steady({{0, 0}, {2000, 0}}, 2100, 3000, 10000, 100), 1e5,
         1e5, 10},
        {"a stall", Steady(Steady({}, 0, 5000, 0, 200), 5100, 10000, 1000000, 0), 0, 1e5, -1},
        {"faster lately", Steady(Steady({}, 0, 5000, 0, 100), 5100, 10000, 530000, 300), 3e5, 2e5,
         4},
        {"under half a second", {{0, 0}, {100, 1000}, {400, 4000}}, -1, -1, -1},
        {"nothing yet", {{0, 0}, {9000, 0}}, -1, -1, -1},
        {"count going down", Steady({{0, 0}, {1000, 100000}}, 1100, 1700, 50, 100), 1e5, 1e5, 10},
    };
    for (const auto& c : cases) {
        RateWindow window;
        for (const auto& [ms, bytes] : c.samples) window.Add(ms, bytes);
        EXPECT_DOUBLE_EQ(window.Current(), c.current) << c.name;
        EXPECT_DOUBLE_EQ(window.Average(), c.average) << c.name;
        EXPECT_EQ(EtaSeconds(1000000, window.Current()), c.etaOf1MB) << c.name;
    }
    EXPECT_EQ(EtaSeconds(-1, 100), -1);  // size unknown
    EXPECT_EQ(EtaSeconds(1001, 100), 11);
}

TEST(TerminalDisplay, JobLineAndNarrowWidths) {
    RateWindow window;  // 1 MiB/s for six seconds
    for (int64_t t = 0; t <= 6000; t += 100) window.Add(t, t * kMiB / 1000);
    JobView view;
    view.threads.resize(4);
    view.receivedTotal = 100 * kMiB;
    view.fileSize = 1024 * kMiB;
    view.position = 9;
    EXPECT_EQ(RenderJobLine(view, window),
              "100.0 MiB of 1.0 GiB (9%)  at 1.0 MiB/s (avg 1.0 MiB/s)  ETA 15m24s");

    const struct {
        int columns;
        size_t lines;  // bar lines and the job line
    } widths[] = {{100, 2}, {90, 3}, {60, 3}, {22, 5}, {21, 5}, {10, 5}};
    for (const auto& c : widths) {
        const std::vector<std::string> lines = RenderDisplay(view, window, c.columns);
        EXPECT_EQ(lines.size(), c.lines) << c.columns;
        for (const std::string& line : lines) EXPECT_LT(line.size(), size_t(c.columns)) << line;
    }

    view.fileSize = -1;
    EXPECT_EQ(RenderJobLine(view, window), "100.0 MiB  at 1.0 MiB/s (avg 1.0 MiB/s)  ETA --");
}

TEST(TerminalDisplay, FramesRewindByTheRowsTheyTakeNow) {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&data, &size);
    ASSERT_NE(out, nullptr);
    LiveDisplay display(out);
    const std::string wide(88, '#');
    display.Draw({wide, "job"}, 100);
    display.Draw({wide, "job"}, 100);
    display.Draw({"a", "b", "c"}, 60);  // the 88 columns were rewrapped into two rows
    display.Erase(60);
    display.Erase(60);
    display.Draw({"last"}, 60);
    display.Finish();
    display.Draw({"below"}, 60);
    std::fclose(out);
    const std::string written(data, size);
    std::free(data);
    EXPECT_EQ(written,
              "\x1b[2K" + wide +
                  "\n\x1b[2Kjob\n\x1b[J"  // nothing above the first is touched
                  "\r\x1b[2A\x1b[2K" +
                  wide +
                  "\n\x1b[2Kjob\n\x1b[J"
                  "\r\x1b[3A\x1b[2Ka\n\x1b[2Kb\n\x1b[2Kc\n\x1b[J"
                  "\r\x1b[3A\x1b[2K\x1b[B\x1b[J\x1b[A"  // erased once only
                  "\x1b[2Klast\n\x1b[J\x1b[2Kbelow\n\x1b[J");
}

}  // namespace
