#include "cli/FailureSummary.h"

#include <utility>

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

std::vector<std::string> FailureLines(const std::vector<bool>& failed, const LastLines& lines) {
    std::vector<std::pair<std::string, std::vector<int>>> groups;
    for (size_t i = 0; i < failed.size(); ++i) {
        if (!failed[i]) continue;
        const std::string reason = FailureReason(lines.Of(static_cast<int>(i)));
        auto it = groups.begin();
        while (it != groups.end() && it->first != reason) ++it;
        if (it == groups.end()) it = groups.insert(groups.end(), {reason, {}});
        it->second.push_back(static_cast<int>(i));
    }
    std::vector<std::string> out;
    for (const auto& [reason, threads] : groups) {
        std::string line = threads.size() == 1 ? "thread " : "threads ";
        for (size_t k = 0; k < threads.size(); ++k) {
            line += (k == 0 ? "#" : ", #") + std::to_string(threads[k]);
        }
        line += " failed";
        if (!reason.empty()) line += ": " + reason;
        out.push_back(line);
    }
    return out;
}
