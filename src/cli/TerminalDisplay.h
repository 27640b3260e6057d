#pragma once
// brindle-get's output on a terminal: the live display (one short bar per thread and the job
// text) redrawn in place on stderr, and the verbose log lines. The formatting is pure; the
// drawing keeps how many lines it drew so the next frame overwrites them. Main thread only.
#include <cstdio>
#include <string>
#include <vector>

#include "job/DownloadJob.h"

// The display's lines for a view: the thread bars packed into lines of at most `columns`
// characters ("#i [#####     ]  50%", "failed" for a failed thread), then the job text.
std::vector<std::string> RenderDisplay(const JobView& view, int columns);

// A log text as printed with -v: CR LF turned into LF, every line prefixed "[#i] ", ending in
// a line break.
std::string FormatLogText(int threadNumber, const std::string& text);

// The first line of a log text with its line break removed, for a one-line failure hint.
std::string FirstLine(const std::string& text);

// Draws frames over each other on a terminal stream.
class LiveDisplay {
public:
    explicit LiveDisplay(std::FILE* out) : out(out) {}
    // Replaces the previous frame with these lines.
    void Draw(const std::vector<std::string>& lines);
    // Removes the frame (before printing something that must stay, like log lines).
    void Erase();
    // Leaves the last frame on screen and moves below it.
    void Finish() { drawnLines = 0; }

private:
    std::FILE* out;
    int drawnLines = 0;
};

// Width of the terminal on the descriptor, 80 when it cannot be told.
int TerminalColumns(int fd);
