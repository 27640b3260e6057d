#include "cli/TerminalDisplay.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/HumanUnits.h"

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

// A line cut to fewer than `columns` characters (nothing can be cut from one column).
std::string Fit(std::string line, int columns) {
    if (columns > 1 && static_cast<int>(line.size()) >= columns) line.resize(columns - 1);
    return line;
}

}  // namespace

std::string RenderJobLine(const JobView& view, const RateWindow& rates) {
    std::string line = FormatBytes(view.receivedTotal);
    int64_t remaining = -1;
    if (view.fileSize >= 0) {
        line += " of " + FormatBytes(view.fileSize) + " (" + std::to_string(view.position) + "%)";
        remaining = view.fileSize - view.receivedTotal;
    }
    const double current = rates.Current();
    line += "  at " + FormatRate(current) + " (avg " + FormatRate(rates.Average()) + ")";
    line += "  ETA " + FormatDuration(EtaSeconds(remaining, current));
    return line;
}

std::vector<std::string> RenderDisplay(const JobView& view, const RateWindow& rates, int columns) {
    std::vector<std::string> lines;
    const std::string gap = "  ";
    std::string line;
    for (size_t i = 0; i < view.threads.size(); ++i) {
        const std::string cell = BarCell(static_cast<int>(i), view.threads[i]);
        if (!line.empty() && static_cast<int>(line.size() + gap.size() + cell.size()) >= columns) {
            lines.push_back(Fit(line, columns));
            line.clear();
        }
        if (!line.empty()) line += gap;
        line += cell;
    }
    if (!line.empty()) lines.push_back(Fit(line, columns));
    lines.push_back(Fit(RenderJobLine(view, rates), columns));
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

int FrameRows(const std::vector<std::string>& lines, int columns) {
    if (columns < 1) columns = 1;
    int rows = 0;
    for (const std::string& line : lines) {
        const int length = static_cast<int>(line.size());
        rows += length == 0 ? 1 : (length + columns - 1) / columns;
    }
    return rows;
}

std::string LiveDisplay::Rewind(int columns) const {
    if (drawn.empty()) return "";
    // Rows past the top of the screen are out of reach: the cursor stops at the top.
    return "\r\x1b[" + std::to_string(FrameRows(drawn, columns)) + "A";
}

// Clearing to the end of the screen from its top-left corner would clear the whole screen,
// which tmux keeps in its scrollback: a frame at the top would be copied there every time.
// So the lines are cleared one by one and the screen only below them.
void LiveDisplay::Draw(const std::vector<std::string>& lines, int columns) {
    std::string frame = Rewind(columns);
    for (const std::string& line : lines) {
        frame += "\x1b[2K";
        frame += line;
        frame += '\n';
    }
    frame += "\x1b[J";  // the rest of a longer or rewrapped old frame
    std::fwrite(frame.data(), 1, frame.size(), out);
    std::fflush(out);
    drawn = lines;
}

void LiveDisplay::Erase(int columns) {
    if (drawn.empty()) return;
    // The top row, then everything below it from the next row, and back up.
    std::string frame = Rewind(columns) + "\x1b[2K";
    if (FrameRows(drawn, columns) > 1) frame += "\x1b[B\x1b[J\x1b[A";
    std::fwrite(frame.data(), 1, frame.size(), out);
    std::fflush(out);
    drawn.clear();
}

int TerminalColumns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}
