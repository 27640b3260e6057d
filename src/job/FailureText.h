#pragma once
// Why a job failed, in plain words, for the window's tooltips and the line under its job bar.
// The reason is the failure value the thread ended with; a thread without one falls back to
// the last telling line of its log. Pure functions; any thread.
#include <string>
#include <vector>

#include "engine/Failure.h"

// The first line of a log text, or "" when it only marks an attempt, a thread's end or a
// blank: the lines a front end keeps as the thread's last word.
std::string TellingLine(const std::string& logText);

// A thread's failure in plain words from its last telling line: server answers and refused
// connections said as what they mean, with the server's own words after them in brackets;
// a command the server never answered named (without its argument, which may be a password).
// "" when there is no line.
std::string PlainFailure(const std::string& lastLine);

// The job's reasons, one line per distinct reason in thread order: "Thread #1: R" or
// "Threads #0, #2: R". lastLines[i] is thread i's last telling line. When no thread failed
// but the job did (the join, the target check), thread 0's line is the reason, alone.
// failures[i], when known, is thread i's reason instead of its last line.
std::vector<std::string> JobFailureLines(const std::vector<bool>& failed,
                                         const std::vector<std::string>& lastLines,
                                         const std::vector<Failure>& failures = {});

// A thread's reason in plain words: from its failure value, else from its last line.
std::string ThreadFailure(const Failure& failure, const std::string& lastLine);
