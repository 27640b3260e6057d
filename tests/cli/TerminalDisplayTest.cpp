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
constexpr int64_t kGiB = 1024 * kMiB;

TEST(HumanUnits, SizesRatesAndDurations) {
    const struct {
        int64_t bytes;
        const char* text;
    } sizes[] = {
        {-5, "0 B"},
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KiB"},
        {1536, "1.5 KiB"},
        {1048524, "1023.9 KiB"},
        {1048575, "1.0 MiB"},  // 1023.999 KiB rounds up into the next unit
        {12 * kMiB + 300 * 1024, "12.3 MiB"},
        {kGiB, "1.0 GiB"},
        {5 * 1024 * kGiB, "5120.0 GiB"},  // GiB is the largest unit
    };
    for (const auto& c : sizes) EXPECT_EQ(FormatBytes(c.bytes), c.text) << c.bytes;

    const struct {
        double rate;
        const char* text;
    } rates[] = {{-1, "--"}, {0, "0 B/s"}, {1023.6, "1.0 KiB/s"}, {1.2 * kMiB, "1.2 MiB/s"}};
    for (const auto& c : rates) EXPECT_EQ(FormatRate(c.rate), c.text) << c.rate;

    const struct {
        int64_t seconds;
        const char* text;
    } durations[] = {
        {-1, "--"},        {0, "0s"},        {59, "59s"},         {60, "1m00s"},
        {83, "1m23s"},     {3599, "59m59s"}, {3600, "1h00m"},     {7500, "2h05m"},
        {86399, "23h59m"}, {86400, "1d00h"}, {8639999, "99d23h"}, {8640000, "--"},
    };
    for (const auto& c : durations) EXPECT_EQ(FormatDuration(c.seconds), c.text) << c.seconds;
}

struct Sample {
    int64_t ms;
    int64_t bytes;
};

// Samples every 100 ms from `fromMs` to `toMs` (both included) growing by bytesPerMs.
std::vector<Sample> Steady(int64_t fromMs, int64_t toMs, int64_t startBytes, int64_t bytesPerMs) {
    std::vector<Sample> samples;
    for (int64_t t = fromMs; t <= toMs; t += 100) {
        samples.push_back({t, startBytes + (t - fromMs) * bytesPerMs});
    }
    return samples;
}

std::vector<Sample> Joined(std::vector<Sample> a, const std::vector<Sample>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(RateWindow, CurrentAndAverageRates) {
    const struct {
        const char* name;
        std::vector<Sample> samples;
        double current;
        double average;
    } cases[] = {
        {"steady for longer than the window", Steady(0, 10000, 0, 100), 100000, 100000},
        // The bytes before the first sample (a resumed part) are not a rate.
        {"baseline of a resumed job", Steady(0, 1000, 5 * kMiB, 100), 100000, 100000},
        {"time before the first byte left out",
         Joined({{0, 0}, {1000, 0}, {2000, 0}}, Steady(2100, 3000, 10000, 100)), 100000, 100000},
        {"a stall ends the current rate, not the average",
         Joined(Steady(0, 5000, 0, 200), Steady(5100, 10000, 1000000, 0)), 0, 100000},
        {"a faster last window", Joined(Steady(0, 5000, 0, 100), Steady(5100, 10000, 530000, 300)),
         300000, 200000},
        {"under half a second", {{0, 0}, {100, 1000}, {400, 4000}}, -1, -1},
        {"nothing received yet", {{0, 0}, {5000, 0}, {9000, 0}}, -1, -1},
        // A count going down (bytes taken back) starts over from there.
        {"count going down", Joined({{0, 0}, {1000, 100000}}, Steady(1100, 1700, 50, 100)), 100000,
         100000},
    };
    for (const auto& c : cases) {
        RateWindow window;
        for (const Sample& s : c.samples) window.Add(s.ms, s.bytes);
        EXPECT_DOUBLE_EQ(window.Current(), c.current) << c.name;
        EXPECT_DOUBLE_EQ(window.Average(), c.average) << c.name;
    }
}

TEST(RateWindow, EtaSeconds) {
    const struct {
        int64_t remaining;
        double rate;
        int64_t seconds;
    } cases[] = {
        {-1, 100, -1},  // size unknown
        {1000, -1, -1},  {1000, 0, -1},   {0, 100, 0},
        {1000, 100, 10}, {1001, 100, 11}, {kGiB, 1e-9, -1},  // too far to tell
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EtaSeconds(c.remaining, c.rate), c.seconds) << c.remaining << " at " << c.rate;
    }
}

// A job at 100 MiB of 1 GiB, fetching 1 MiB a second for the last six seconds.
JobView JobAtOneMiBPerSecond(RateWindow& window, int threads) {
    for (int64_t t = 0; t <= 6000; t += 100) window.Add(t, t * kMiB / 1000);
    JobView view;
    view.threads.resize(threads);
    view.receivedTotal = 100 * kMiB;
    view.fileSize = kGiB;
    view.position = 9;
    return view;
}

TEST(TerminalDisplay, JobLine) {
    RateWindow window;
    JobView view = JobAtOneMiBPerSecond(window, 4);
    EXPECT_EQ(RenderJobLine(view, window),
              "100.0 MiB of 1.0 GiB (9%)  at 1.0 MiB/s (avg 1.0 MiB/s)  ETA 15m24s");
    view.fileSize = -1;
    EXPECT_EQ(RenderJobLine(view, window), "100.0 MiB  at 1.0 MiB/s (avg 1.0 MiB/s)  ETA --");
}

TEST(TerminalDisplay, EveryLineShorterThanTheWidth) {
    const struct {
        int columns;
        size_t lines;  // bar lines and the job line
    } cases[] = {{100, 2}, {90, 3}, {60, 3}, {22, 5}, {21, 5}, {10, 5}};
    RateWindow window;
    const JobView view = JobAtOneMiBPerSecond(window, 4);
    for (const auto& c : cases) {
        const std::vector<std::string> lines = RenderDisplay(view, window, c.columns);
        EXPECT_EQ(lines.size(), c.lines) << c.columns;
        for (const std::string& line : lines) {
            EXPECT_LT(line.size(), static_cast<size_t>(c.columns)) << c.columns << ": " << line;
        }
        EXPECT_EQ(lines[0].substr(0, 4), "#0  ") << c.columns;
    }
}

TEST(TerminalDisplay, FrameRowsAfterARewrap) {
    const std::vector<std::string> frame = {std::string(88, '#'), std::string(40, 'x'), ""};
    const struct {
        int columns;
        int rows;
    } cases[] = {{100, 3}, {89, 3}, {88, 3}, {87, 4}, {60, 4}, {30, 6}, {0, 129}};
    for (const auto& c : cases) EXPECT_EQ(FrameRows(frame, c.columns), c.rows) << c.columns;
}

// Everything a LiveDisplay wrote, through a memory stream.
class Written {
public:
    Written() : stream(open_memstream(&data, &size)) {}
    ~Written() {
        std::fclose(stream);
        std::free(data);
    }
    // What was written since the last call.
    std::string Take() {
        std::fflush(stream);
        std::string all(data, size);
        std::string fresh = all.substr(taken);
        taken = all.size();
        return fresh;
    }
    char* data = nullptr;
    size_t size = 0;
    size_t taken = 0;
    std::FILE* stream;
};

TEST(TerminalDisplay, FramesRewindByTheRowsTheyTakeNow) {
    Written out;
    ASSERT_NE(out.stream, nullptr);
    LiveDisplay display(out.stream);
    const std::string wide(88, '#');
    display.Draw({wide, "job"}, 100);
    // Nothing above the first frame is touched.
    EXPECT_EQ(out.Take(), "\x1b[2K" + wide + "\n\x1b[2Kjob\n\x1b[J");
    display.Draw({wide, "job"}, 100);
    EXPECT_EQ(out.Take(), "\r\x1b[2A\x1b[2K" + wide + "\n\x1b[2Kjob\n\x1b[J");
    // Narrowed to 60: the 88 columns were rewrapped into two rows.
    display.Draw({"a", "b", "c"}, 60);
    EXPECT_EQ(out.Take(), "\r\x1b[3A\x1b[2Ka\n\x1b[2Kb\n\x1b[2Kc\n\x1b[J");
    display.Erase(60);
    EXPECT_EQ(out.Take(), "\r\x1b[3A\x1b[2K\x1b[B\x1b[J\x1b[A");
    display.Erase(60);
    EXPECT_EQ(out.Take(), "");
    display.Draw({"one row"}, 60);
    display.Erase(60);
    EXPECT_EQ(out.Take(), "\x1b[2Kone row\n\x1b[J\r\x1b[1A\x1b[2K");
    display.Draw({"last"}, 60);
    display.Finish();
    display.Draw({"below"}, 60);
    EXPECT_EQ(out.Take(), "\x1b[2Klast\n\x1b[J\x1b[2Kbelow\n\x1b[J");
}

}  // namespace
