#include "settings/WIniMan.h"

#include <fcntl.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "net/AsciiText.h"
#include "net/WriteAll.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxValueLength = 8191;  // what a read hands back at most

// White space inside a line (its end is gone already).
constexpr std::string_view kBlanks = " \t\r\f\v";

bool IsBlank(char c) {
    return kBlanks.find(c) != std::string_view::npos;
}

std::string_view Trim(std::string_view s) {
    return TrimAscii(s, kBlanks);
}

}  // namespace

// The file as lines without their ends, and whether it used CRLF (kept when rewriting).
struct IniText {
    std::vector<std::string> lines;
    bool crlf = false;
    bool bom = false;  // written back, so a rewrite never changes how the rest of the file reads
};

namespace {

bool LoadIni(const std::string& path, IniText& ini) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
        ini.bom = true;
    }

    size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const bool lastLine = end == std::string::npos;
        if (lastLine) end = text.size();
        std::string line = text.substr(start, end - start);
        const bool cr = !line.empty() && line.back() == '\r';
        if (cr) line.pop_back();
        if (first && !lastLine) ini.crlf = cr;
        first = false;
        ini.lines.push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

// "[name]" gives true and the trimmed name.
bool ParseSection(std::string_view line, std::string_view& name) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return false;
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return false;
    name = Trim(line.substr(1, close - 1));
    return true;
}

// "key = value" gives true with the trimmed key and value; comments and blank lines do not.
// A value in double quotes loses them, so stored values may keep outer blanks.
bool ParseKey(std::string_view line, std::string_view& key, std::string_view& value) {
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#' || line.front() == '[') {
        return false;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = Trim(line.substr(0, eq));
    if (key.empty()) return false;
    value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return true;
}

// Where a key sits in the first section of that name (a later duplicate section is not
// looked at): the section's header line (-1: no such section), the line where a new key of
// the section goes (after its last non-blank line), and the key's own line (-1: absent).
struct KeyPlace {
    size_t section = 0;
    size_t insertAt = 0;
    size_t line = 0;
    bool hasSection = false;
    bool hasKey = false;
    std::string_view value;
};

KeyPlace FindKey(const IniText& ini, std::string_view section, std::string_view key) {
    KeyPlace place;
    std::string_view name;
    size_t i = 0;
    for (; i < ini.lines.size(); ++i) {
        if (ParseSection(ini.lines[i], name) && EqualsNoCase(name, section)) break;
    }
    if (i == ini.lines.size()) return place;
    place.hasSection = true;
    place.section = i;
    place.insertAt = i + 1;
    for (++i; i < ini.lines.size(); ++i) {
        const std::string& line = ini.lines[i];
        if (ParseSection(line, name)) break;
        if (!Trim(line).empty()) place.insertAt = i + 1;
        std::string_view value;
        if (!place.hasKey && ParseKey(line, name, value) && EqualsNoCase(name, key)) {
            place.hasKey = true;
            place.line = i;
            place.value = value;
        }
    }
    return place;
}

// A value that the reader would change (outer blanks, outer quotes) is stored in quotes.
std::string StoredValue(const std::string& value) {
    const bool needsQuotes =
        !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                           (value.size() >= 2 && value.front() == '"' && value.back() == '"'));
    return needsQuotes ? "\"" + value + "\"" : value;
}

// Replaces the file at path with text: written to a temporary file in the same directory,
// flushed to disk and renamed over the old one, so readers and crashes never see half a file.
bool ReplaceFile(const std::string& path, const std::string& text) {
    std::error_code ec;
    fs::path target(path);
    if (fs::is_symlink(target, ec)) {
        const fs::path resolved = fs::canonical(target, ec);
        if (!ec) target = resolved;
    }
    const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    fs::create_directories(dir, ec);

    std::string tempName = target.string() + ".XXXXXX";
    const int fd = mkstemp(tempName.data());
    if (fd < 0) return false;
    struct stat st;
    // A new file stays private (mkstemp's 0600): it holds a password.
    if (stat(target.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);

    int error = 0;
    WriteAll(fd, text.data(), text.size(), error);
    bool ok = error == 0;
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tempName.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) {
        unlink(tempName.c_str());
        return false;
    }
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        fsync(dirFd);  // makes the rename itself durable
        close(dirFd);
    }
    return true;
}

std::string FormatFixed(double value) {
    char text[512];  // "%f" of the largest double needs about 320 characters
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    return std::string(text, result.ptr);
}

// atof's rules, in the C locale whatever the process locale is (a GUI toolkit may have set
// one with a decimal comma).
double ParseLikeAtof(const std::string& text) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(text.c_str(), nullptr, cLocale);
}

// key=value into the section, as WriteString describes.
bool SetKey(IniText& ini, const char* section, const char* key, const std::string& value) {
    if (section == nullptr || key == nullptr || *key == '\0') return false;
    if (value.find_first_of("\r\n") != std::string::npos) return false;
    const std::string line = std::string(key) + "=" + StoredValue(value);
    const KeyPlace place = FindKey(ini, section, key);
    if (place.hasKey) {
        ini.lines[place.line] = line;
    } else if (place.hasSection) {
        ini.lines.insert(ini.lines.begin() + static_cast<long>(place.insertAt), line);
    } else {
        if (!ini.lines.empty() && !Trim(ini.lines.back()).empty()) ini.lines.emplace_back();
        ini.lines.push_back("[" + std::string(section) + "]");
        ini.lines.push_back(line);
    }
    return true;
}

bool WriteIni(const std::string& path, const IniText& ini) {
    const char* end = ini.crlf ? "\r\n" : "\n";
    std::string text = ini.bom ? "\xEF\xBB\xBF" : "";
    for (const std::string& l : ini.lines) text += l + end;
    return ReplaceFile(path, text);
}

}  // namespace

WIniMan::WIniMan() : fileName_("WIN.INI") {}
WIniMan::~WIniMan() = default;
WIniMan::WIniMan(WIniMan&&) noexcept = default;
WIniMan& WIniMan::operator=(WIniMan&&) noexcept = default;

void WIniMan::SetFileName(const std::string& path) {
    fileName_ = path;
    batch_.reset();
}

void WIniMan::Load() {
    batch_ = std::make_unique<IniText>();
    LoadIni(fileName_, *batch_);
}

bool WIniMan::Save() {
    return batch_ != nullptr && WriteIni(fileName_, *batch_);
}

std::string WIniMan::ReadString(const char* section, const char* key, const char* def) {
    if (def == nullptr) return std::string();
    std::string result = def;
    IniText fresh;
    const IniText* ini = batch_.get();
    if (ini == nullptr && LoadIni(fileName_, fresh)) ini = &fresh;
    if (section != nullptr && key != nullptr && ini != nullptr) {
        const KeyPlace place = FindKey(*ini, section, key);
        if (place.hasKey) result.assign(place.value);
    }
    if (result.size() > kMaxValueLength) result.resize(kMaxValueLength);
    return result;
}

bool WIniMan::WriteString(const char* section, const char* key, const std::string& value) {
    if (batch_ != nullptr) return SetKey(*batch_, section, key, value);
    IniText ini;
    LoadIni(fileName_, ini);
    return SetKey(ini, section, key, value) && WriteIni(fileName_, ini);
}

double WIniMan::ReadNumber(const char* section, const char* key, double def) {
    const std::string defText = FormatFixed(def);
    return ParseLikeAtof(ReadString(section, key, defText.c_str()));
}

bool WIniMan::WriteNumber(const char* section, const char* key, double value) {
    const bool whole32 = std::isfinite(value) && value >= INT32_MIN && value <= INT32_MAX &&
                         value == std::trunc(value);
    const std::string text =
        whole32 ? std::to_string(static_cast<long>(value)) : FormatFixed(value);
    return WriteString(section, key, text);
}
