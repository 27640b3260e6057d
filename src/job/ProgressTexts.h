#pragma once
// The arithmetic and the texts of the progress bars and of the verdict: pure functions over
// 64-bit counts, so they can be checked without a running job. DownloadJob calls them under
// its progress and finish locks; any thread may call them.
#include <cstdint>
#include <string>

// Position of a thread bar: done / total * 100 in floating point, truncated, kept to 0..100.
// An empty segment (total 0 or less) shows 100: there is nothing left to fetch.
int ThreadBarPosition(int64_t done, int64_t total);
// Thread bar tooltip after a progress report: "%d b of %d" with done and total. The second
// form stores it in text, with no new allocation once text has grown.
std::string ThreadBarTooltip(int64_t done, int64_t total);
void ThreadBarTooltip(int64_t done, int64_t total, std::string& text);

// Milliseconds to average the job speed over: 1000 while no data has arrived (startTick 0),
// else now - startTick, and never less than 1.
int64_t ElapsedMs(int64_t startTick, int64_t now);
// Job percentage: receivedTotal / fileSize * 100 in floating point, truncated, stored as a
// 16-bit unsigned value; 0 while the size is unknown or not positive.
uint16_t JobPercent(int64_t receivedTotal, int64_t fileSize);
// Bytes per second over the whole job: receivedTotal / elapsedMs * 1000, truncated.
int64_t JobSpeed(int64_t receivedTotal, int64_t elapsedMs);
// The job bar's position for a percentage: the bar's range is 0..100.
int JobBarPosition(unsigned percent);
// Job bar text after a progress report: "%d b of %d (%d%%) at %d bps".
std::string JobProgressText(int64_t receivedTotal, int64_t fileSize, unsigned percent,
                            int64_t speed);
void JobProgressText(int64_t receivedTotal, int64_t fileSize, unsigned percent, int64_t speed,
                     std::string& text);

// Job bar text at the verdict. Success: "Job completed successfully " followed by the current
// text from its first "at" (case-sensitive) to its end, if it holds one. Failure: "Job failed".
std::string VerdictText(bool succeeded, const std::string& currentText);

inline constexpr const char* kConnectingTooltip = "Connecting...";
inline constexpr const char* kFailedTooltip = "Failed";
inline constexpr const char* kJobFailedText = "Job failed";
inline constexpr const char* kJobSucceededText = "Job completed successfully ";
