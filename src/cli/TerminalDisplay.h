#pragma once
// brindle-get's output on a terminal: the live display (one short bar per thread and the job
// line: sizes, rates, time left) redrawn in place on stderr, and the verbose log lines. The
// formatting is pure; the drawing keeps the lines it drew so the next frame, even after a
// resize, overwrites them. Main thread only.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/RateWindow.h"
#include "job/DownloadJob.h"

// The job line: "12.3 MiB of 1.0 GiB (1%)  at 1.2 MiB/s (avg 1.1 MiB/s)  ETA 1m23s", without
// the size and percentage while the size is unknown; "--" for what cannot be told yet.
std::string RenderJobLine(const JobView& view, const RateWindow& rates);

// The display's lines for a view: the thread bars packed into lines ("#i [#####     ]  50%",
// "failed" for a failed thread), then the job line. Every line is shorter than `columns`, so
// none wraps and the cursor never waits in the last column.
std::vector<std::string> RenderDisplay(const JobView& view, const RateWindow& rates, int columns);

// A log text as printed with -v: CR LF turned into LF, every line prefixed "[#i] ", ending in
// a line break.
std::string FormatLogText(int threadNumber, const std::string& text);

// The first line of a log text with its line break removed, for a one-line failure hint.
std::string FirstLine(const std::string& text);

// Rows that lines, each drawn shorter than the width of the time, take at `columns` now: a
// terminal that rewraps on a resize splits a line longer than the new width.
int FrameRows(const std::vector<std::string>& lines, int columns);

// Draws frames over each other on a terminal stream. Each frame starts where the last one
// started: up by the rows the old frame takes at the current width, then cleared to the end
// of the screen. Rows a narrowing pushed off the top stay in the scrollback; the screen
// itself keeps no old line.
class LiveDisplay {
public:
    explicit LiveDisplay(std::FILE* out) : out(out) {}
    // Replaces the previous frame with these lines (each shorter than columns).
    void Draw(const std::vector<std::string>& lines, int columns);
    // Removes the frame (before printing something that must stay, like log lines).
    void Erase(int columns);
    // Leaves the last frame on screen and moves below it.
    void Finish() { drawn.clear(); }

private:
    // Up to the top of the drawn frame, and the screen cleared from there.
    std::string Rewind(int columns) const;

    std::FILE* out;
    std::vector<std::string> drawn;
};

// Width of the terminal on the descriptor, 80 when it cannot be told.
int TerminalColumns(int fd);
