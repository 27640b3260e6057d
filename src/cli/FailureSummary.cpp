#include "cli/FailureSummary.h"

#include <utility>

#include "cli/CliRun.h"

void LastLines::Note(int thread, const std::string& text) {
    const std::string line = text.substr(0, text.find_first_of("\r\n"));
    if (line.empty() || line.rfind("ATTEMPTION #", 0) == 0 ||
        line.find("complited with") != std::string::npos) {
        return;
    }
    last[thread] = line;
}

std::string LastLines::Of(int thread) const {
    auto it = last.find(thread);
    return it == last.end() ? "" : it->second;
}

std::string FailureReason(const std::string& lastLine) {
    if (lastLine.find("stall limit") != std::string::npos &&
        lastLine.find("timed out") == std::string::npos) {
        return "timed out: " + lastLine;
    }
    return lastLine;
}

std::vector<std::string> FailureLines(const std::vector<bool>& failed, const LastLines& lines,
                                      const std::vector<Failure>& failures,
                                      const std::string& url) {
    std::vector<std::pair<std::string, std::vector<int>>> groups;
    for (size_t i = 0; i < failed.size(); ++i) {
        if (!failed[i]) continue;
        const bool known = i < failures.size() && failures[i].Known();
        const std::string reason =
            known ? failures[i].text : FailureReason(lines.Of(static_cast<int>(i)));
        auto it = groups.begin();
        while (it != groups.end() && it->first != reason) ++it;
        if (it == groups.end()) it = groups.insert(groups.end(), {reason, {}});
        it->second.push_back(static_cast<int>(i));
    }
    std::vector<std::string> out;
    for (const auto& [reason, threads] : groups) {
        std::string line = url.empty() ? "" : url + ": ";
        line += threads.size() == 1 ? "thread " : "threads ";
        for (size_t k = 0; k < threads.size(); ++k) {
            line += (k == 0 ? "#" : ", #") + std::to_string(threads[k]);
        }
        line += " failed";
        if (!reason.empty()) line += ": " + reason;
        out.push_back(line);
    }
    return out;
}

namespace {

int ExitOf(Failure::Kind kind) {
    switch (kind) {
        case Failure::Kind::Refused:
            return kExitRefused;
        case Failure::Kind::Network:
            return kExitNetwork;
        case Failure::Kind::Tls:
            return kExitTls;
        case Failure::Kind::LocalFile:
            return kExitLocalFile;
        default:
            return kExitJobFailed;
    }
}

}  // namespace

int FailureExit(const std::vector<Failure>& failures) {
    // What ended the job outright says most; then the first thread that said anything.
    for (const Failure& f : failures) {
        if (f.Known() && f.permanent) return ExitOf(f.kind);
    }
    for (const Failure& f : failures) {
        if (f.Known()) return ExitOf(f.kind);
    }
    return kExitJobFailed;
}
