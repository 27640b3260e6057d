#pragma once
// What brindle-get says when a job failed: one line per distinct reason, naming the threads
// it stopped, from the failure each thread ended with (else the last telling line of its
// log), and the exit status that the failures' kind stands for. Main thread only.
#include <map>
#include <string>
#include <vector>

#include "engine/Failure.h"

class LastLines {
public:
    // Keeps the first line of a log text unless it only marks an attempt or a thread's end.
    void Note(int thread, const std::string& text);
    std::string Of(int thread) const;

private:
    std::map<int, std::string> last;
};

// The reason as shown: a wait that ran out says that it timed out.
std::string FailureReason(const std::string& lastLine);

// "thread #0 failed: R" or "threads #0, #2 failed: R", one per distinct reason in thread
// order of first appearance; a failed thread with no log line: "thread #1 failed". R is
// failures[i].text when known, else the last line. A non-empty url heads each line.
std::vector<std::string> FailureLines(const std::vector<bool>& failed, const LastLines& lines,
                                      const std::vector<Failure>& failures = {},
                                      const std::string& url = "");

// The exit status of a failed job: the kind of the first permanent failure, else of the first
// failure with a kind of its own; 1 ("Job failed") when none says more.
int FailureExit(const std::vector<Failure>& failures);
