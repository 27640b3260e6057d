#include "cli/TerminalDisplay.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int kBarWidth = 10;

std::string BarCell(int i, const ThreadBarView& bar) {
    char text[64];
    if (bar.failed) {
        std::snprintf(text, sizeof text, "#%-2d [  failed  ]     ", i);
        return text;
    }
    const int filled = bar.position * kBarWidth / 100;
    std::string fill(static_cast<size_t>(filled), '#');
    fill.append(static_cast<size_t>(kBarWidth - filled), ' ');
    std::snprintf(text, sizeof text, "#%-2d [%s] %3d%%", i, fill.c_str(), bar.position);
    return text;
}

}  // namespace

std::vector<std::string> RenderDisplay(const JobView& view, int columns) {
    std::vector<std::string> lines;
    const std::string gap = "  ";
    std::string line;
    for (size_t i = 0; i < view.threads.size(); ++i) {
        const std::string cell = BarCell(static_cast<int>(i), view.threads[i]);
        if (!line.empty() && static_cast<int>(line.size() + gap.size() + cell.size()) > columns) {
            lines.push_back(line);
            line.clear();
        }
        if (!line.empty()) line += gap;
        line += cell;
    }
    if (!line.empty()) lines.push_back(line);
    std::string text = view.text;
    if (columns > 1 && static_cast<int>(text.size()) >= columns) text.resize(columns - 1);
    lines.push_back(text);
    return lines;
}

std::string FormatLogText(int threadNumber, const std::string& text) {
    const std::string prefix = "[#" + std::to_string(threadNumber) + "] ";
    std::string out;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        const bool last = end == std::string::npos;
        if (last) end = text.size();
        size_t lineEnd = end;
        if (lineEnd > begin && text[lineEnd - 1] == '\r') --lineEnd;
        out += prefix;
        out.append(text, begin, lineEnd - begin);
        out += '\n';
        begin = last ? text.size() : end + 1;
    }
    if (text.empty()) out = prefix + "\n";
    return out;
}

std::string FirstLine(const std::string& text) {
    size_t end = text.find_first_of("\r\n");
    return text.substr(0, end);
}

void LiveDisplay::Draw(const std::vector<std::string>& lines) {
    std::string frame;
    if (drawnLines > 0) frame += "\x1b[" + std::to_string(drawnLines) + "A";
    for (const std::string& line : lines) {
        frame += "\r\x1b[2K";
        frame += line;
        frame += '\n';
    }
    // A frame with fewer lines than the last one must not leave old lines below it.
    frame += "\x1b[J";
    std::fwrite(frame.data(), 1, frame.size(), out);
    std::fflush(out);
    drawnLines = static_cast<int>(lines.size());
}

void LiveDisplay::Erase() {
    if (drawnLines == 0) return;
    const std::string frame = "\x1b[" + std::to_string(drawnLines) + "A\r\x1b[J";
    std::fwrite(frame.data(), 1, frame.size(), out);
    std::fflush(out);
    drawnLines = 0;
}

int TerminalColumns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}
