#include "job/FailureText.h"

#include <cstring>
#include <utility>

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "HTTP/1.1 404 Not Found": the status, else -1.
int HttpStatus(const std::string& line) {
    if (!StartsWith(line, "HTTP/")) return -1;
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || line.size() < blank + 4) return -1;
    const char* d = line.c_str() + blank + 1;
    if (!IsDigit(d[0]) || !IsDigit(d[1]) || !IsDigit(d[2])) return -1;
    return (d[0] - '0') * 100 + (d[1] - '0') * 10 + (d[2] - '0');
}

// "550 No such file" or "530-Login incorrect": the reply code, else -1.
int FtpCode(const std::string& line) {
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) {
        return -1;
    }
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// The verb of a command or request the engine sent, or "" for any other line.
std::string SentCommand(const std::string& line) {
    static const char* const kBare[] = {"PASV", "QUIT", "EPSV"};
    for (const char* verb : kBare) {
        if (line == verb) return verb;
    }
    static const char* const kWithArgument[] = {"USER ", "PASS ", "TYPE ", "REST ",
                                                "SIZE ", "STAT ", "PORT ", "RETR "};
    for (const char* verb : kWithArgument) {
        if (StartsWith(line, verb)) return std::string(verb, std::strlen(verb) - 1);
    }
    static const char* const kRequests[] = {"GET ", "HEAD ", "CONNECT "};
    for (const char* verb : kRequests) {
        if (StartsWith(line, verb) && line.find(" HTTP/1.") != std::string::npos) {
            return std::string(verb, std::strlen(verb) - 1);
        }
    }
    return "";
}

std::string HttpMeaning(int status) {
    switch (status) {
        case 401:
            return "the server wants a user name and password";
        case 403:
            return "the server refuses access to the file";
        case 404:
        case 410:
            return "the file is not on the server";
        case 407:
            return "the proxy wants a user name and password";
        case 416:
            return "the server cannot send the part of the file that was asked for";
        default:
            break;
    }
    if (status >= 500) return "the server had a problem of its own";
    if (status >= 400) return "the server refused the request";
    return "the connection ended before all the data came";
}

std::string FtpMeaning(int code) {
    switch (code) {
        case 421:
            return "the server closed the connection";
        case 530:
            return "the server refused the user name or password";
        case 550:
            return "the server cannot send the file: it is missing or may not be read";
        default:
            break;
    }
    if (code >= 500) return "the server refused a command";
    if (code >= 400) return "the server refused for now; a later try may work";
    return "the connection ended before all the data came";
}

// A line the engine wrote in words already, with its first letter made lower case to follow
// a thread's name.
std::string LowerFirst(std::string text) {
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' &&
        (text.size() < 2 || !(text[1] >= 'A' && text[1] <= 'Z'))) {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}

}  // namespace

std::string TellingLine(const std::string& logText) {
    const std::string line = logText.substr(0, logText.find_first_of("\r\n"));
    if (line.empty() || StartsWith(line, "ATTEMPTION #") ||
        line.find("complited with") != std::string::npos) {
        return "";
    }
    return line;
}

std::string PlainFailure(const std::string& lastLine) {
    if (lastLine.empty()) return "";
    if (const int status = HttpStatus(lastLine); status >= 0) {
        return HttpMeaning(status) + " (" + lastLine + ")";
    }
    if (const int code = FtpCode(lastLine); code >= 0) {
        return FtpMeaning(code) + " (" + lastLine + ")";
    }
    if (const std::string verb = SentCommand(lastLine); !verb.empty()) {
        return "the connection closed before the server answered " + verb;
    }
    if (lastLine.find("stall limit") != std::string::npos) {
        const bool data = StartsWith(lastLine, "No data");
        return std::string(data ? "the server stopped sending data"
                                : "the server stopped answering") +
               ": timed out";
    }
    // FTP servers that refuse SIZE for a missing file may still answer STAT, with no size.
    if (StartsWith(lastLine, "No file size")) {
        return "the server gave no size for the file: it may not be there";
    }
    static const char* const kJobPrefixes[] = {"Job failed: ", "Job: "};
    for (const char* prefix : kJobPrefixes) {
        if (StartsWith(lastLine, prefix)) return lastLine.substr(std::strlen(prefix));
    }
    return LowerFirst(lastLine);
}

std::string ThreadFailure(const Failure& failure, const std::string& lastLine) {
    return PlainFailure(failure.Known() ? failure.text : lastLine);
}

std::vector<std::string> JobFailureLines(const std::vector<bool>& failed,
                                         const std::vector<std::string>& lastLines,
                                         const std::vector<Failure>& failures) {
    auto lineOf = [&](size_t i) {
        const std::string last = i < lastLines.size() ? lastLines[i] : std::string();
        return ThreadFailure(i < failures.size() ? failures[i] : Failure{}, last);
    };
    std::vector<std::pair<std::string, std::vector<size_t>>> groups;
    for (size_t i = 0; i < failed.size(); ++i) {
        if (!failed[i]) continue;
        const std::string reason = lineOf(i);
        auto it = groups.begin();
        while (it != groups.end() && it->first != reason) ++it;
        if (it == groups.end()) it = groups.insert(groups.end(), {reason, {}});
        it->second.push_back(i);
    }
    std::vector<std::string> out;
    if (groups.empty()) {
        if (std::string reason = lineOf(0); !reason.empty()) out.push_back(std::move(reason));
        return out;
    }
    for (const auto& [reason, threads] : groups) {
        std::string line = threads.size() == 1 ? "Thread " : "Threads ";
        for (size_t k = 0; k < threads.size(); ++k) {
            line += (k == 0 ? "#" : ", #") + std::to_string(threads[k]);
        }
        line += reason.empty() ? " failed" : ": " + reason;
        out.push_back(line);
    }
    return out;
}
