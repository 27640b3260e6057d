// Fuzz target for the INI reader: the input is the whole settings file, written as Brindle.ini
// into a private temporary directory that BRINDLE_CONFIG_DIR names. Looks up section and key
// names taken from the file and a few fixed ones; a lookup answers the default exactly when
// the key is absent, the same value whatever the default when present, never more than 8191
// characters or a line break, and ReadNumber agrees with ReadString. Then one value is written:
// it reads back as written and every other lookup answers as before. Finally the settings
// record is loaded from the file.
#include <stdlib.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "settings/SettingsFile.h"
#include "settings/WIniMan.h"

namespace {

constexpr const char* kFileName = "Brindle.ini";
constexpr size_t kMaxValueLength = 8191;
constexpr const char* kAbsentA = "\001absent-a";
constexpr const char* kAbsentB = "\001absent-b";
constexpr double kNumberDefault = 0.5;

std::string configDir;

void RemoveConfigDir() {
    std::error_code ec;
    std::filesystem::remove_all(configDir, ec);
}

// Made on first use, removed at exit: the settings directory of this process.
void MakeConfigDir() {
    if (!configDir.empty()) return;
    const char* tmp = getenv("TMPDIR");
    std::string name =
        std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/brindle-fuzz-ini.XXXXXX";
    if (mkdtemp(name.data()) == nullptr) FuzzFail("mkdtemp", __FILE__, __LINE__);
    configDir = name;
    setenv("BRINDLE_CONFIG_DIR", configDir.c_str(), 1);
    atexit(RemoveConfigDir);
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    constexpr std::string_view kBlanks = " \t\r\f\v";
    const size_t begin = s.find_first_not_of(kBlanks);
    if (begin == std::string_view::npos) return {};
    return s.substr(begin, s.find_last_not_of(kBlanks) - begin + 1);
}

// A name that a written "[name]" or "name=" line reads back as.
bool IsSafeName(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

void AddName(std::vector<std::string>& names, std::string_view name, size_t limit) {
    if (names.size() >= limit || name.find('\0') != std::string_view::npos) return;
    for (const std::string& n : names) {
        if (n == name) return;
    }
    names.emplace_back(name);
}

// Names the file uses ("[name]" and "name=" on its first lines) after a few fixed ones.
void CollectNames(std::string_view file, std::vector<std::string>& sections,
                  std::vector<std::string>& keys) {
    sections = {"settings", "nosuch"};
    keys = {"maxthreads", "nosuch"};
    size_t start = 0;
    for (int line = 0; line < 64 && start < file.size(); ++line) {
        size_t end = file.find('\n', start);
        if (end == std::string_view::npos) end = file.size();
        const std::string_view text = file.substr(start, end - start);
        const size_t open = text.find('[');
        const size_t close = text.find(']', open == std::string_view::npos ? 0 : open);
        if (open != std::string_view::npos && close != std::string_view::npos) {
            AddName(sections, Trim(text.substr(open + 1, close - open - 1)), 4);
        }
        const size_t eq = text.find('=');
        if (eq != std::string_view::npos) AddName(keys, Trim(text.substr(0, eq)), 5);
        start = end + 1;
    }
}

struct Lookup {
    std::string section;
    std::string key;
    bool present = false;
    std::string value;
};

bool SameNumber(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

Lookup Look(WIniMan& ini, const std::string& section, const std::string& key) {
    Lookup r{section, key, false, ""};
    const std::string a = ini.ReadString(section.c_str(), key.c_str(), kAbsentA);
    const std::string b = ini.ReadString(section.c_str(), key.c_str(), kAbsentB);
    r.present = !(a == kAbsentA && b == kAbsentB);
    if (r.present) FUZZ_CHECK(a == b);
    r.value = a;
    FUZZ_CHECK(a.size() <= kMaxValueLength);
    FUZZ_CHECK(a.find('\n') == std::string::npos);

    const double number = ini.ReadNumber(section.c_str(), key.c_str(), kNumberDefault);
    if (r.present) {
        FUZZ_CHECK(SameNumber(number, strtod(a.c_str(), nullptr)));
    } else {
        FUZZ_CHECK(number == kNumberDefault);
    }
    return r;
}

std::vector<Lookup> LookAll(WIniMan& ini, const std::vector<std::string>& sections,
                            const std::vector<std::string>& keys) {
    std::vector<Lookup> all;
    for (const std::string& s : sections) {
        for (const std::string& k : keys) all.push_back(Look(ini, s, k));
    }
    return all;
}

// The file's last line without its CRs when the file has an odd size (the fuzzer steers
// the value), else one of a few values that need care: quotes, blanks, separators.
std::string ValueToWrite(const std::string& file) {
    if (file.size() % 2 == 1) {
        const size_t lineEnd = file.rfind('\n');
        std::string value = file.substr(lineEnd == std::string::npos ? 0 : lineEnd + 1);
        std::erase(value, '\r');
        return value;
    }
    static const char* const kValues[] = {
        "",   "plain", " padded value ", "trailing\t ",    "\"quoted\"",
        "\"", "x\"",   "a=b;c#d",        "[not a section]"};
    return kValues[file.size() / 2 % (sizeof kValues / sizeof kValues[0])];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MakeConfigDir();
    const std::string file(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(configDir + "/" + kFileName, std::ios::binary | std::ios::trunc);
        out.write(file.data(), static_cast<std::streamsize>(file.size()));
        FUZZ_CHECK(out.good());
    }
    WIniMan ini;
    ini.SetFileName(configDir + "/" + kFileName);
    FUZZ_CHECK(ini.ReadString("settings", "maxthreads", nullptr).empty());
    FUZZ_CHECK(ini.ReadString(nullptr, "maxthreads", "d") == "d");

    std::vector<std::string> sections, keys;
    CollectNames(file, sections, keys);
    const std::vector<Lookup> before = LookAll(ini, sections, keys);

    // One write into a name the file uses (when it reads back as a name) or a fixed one.
    std::string section = "settings", key = "fuzzkey";
    for (size_t i = 2; i < sections.size(); ++i) {
        if (IsSafeName(sections[i])) section = sections[i];
    }
    for (size_t i = 2; i < keys.size(); ++i) {
        if (IsSafeName(keys[i])) key = keys[i];
    }
    const std::string value = ValueToWrite(file);
    FUZZ_CHECK(!ini.WriteString(section.c_str(), key.c_str(), "two\nlines"));
    FUZZ_CHECK(ini.WriteString(section.c_str(), key.c_str(), value));
    FUZZ_CHECK(ini.ReadString(section.c_str(), key.c_str(), kAbsentA) ==
               value.substr(0, kMaxValueLength));

    for (const Lookup& old : before) {
        if (SameName(old.section, section) && SameName(old.key, key)) continue;
        const std::string now = ini.ReadString(old.section.c_str(), old.key.c_str(), kAbsentA);
        FUZZ_CHECK(now == (old.present ? old.value : std::string(kAbsentA)));
    }

    Settings settings;
    LoadSettings(settings);
    return 0;
}
