#include "settings/SettingsFile.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <variant>

#include "settings/WIniMan.h"

namespace {

constexpr const char* kFileName = "Brindle.ini";
constexpr const char* kSection = "settings";

// A set, absolute directory from the environment, else "".
std::string AbsoluteDirFromEnv(const char* name) {
    const char* value = getenv(name);
    if (value == nullptr || value[0] != '/') return std::string();
    return value;
}

// Truncation toward zero. Values an int cannot hold (1e20, inf) saturate and NaN gives 0,
// where a plain conversion would be undefined.
int TruncateToInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

WIniMan SettingsIni() {
    WIniMan ini;
    ini.SetFileName(SettingsDirectory() + "/" + kFileName);
    ini.Load();
    return ini;
}

}  // namespace

std::string SettingsDirectory() {
    std::string dir = AbsoluteDirFromEnv("BRINDLE_CONFIG_DIR");
    if (!dir.empty()) return dir;
    dir = AbsoluteDirFromEnv("XDG_CONFIG_HOME");
    if (!dir.empty()) return dir;
    std::string home = AbsoluteDirFromEnv("HOME");
    if (home.empty()) {
        const passwd* entry = getpwuid(getuid());
        if (entry != nullptr && entry->pw_dir != nullptr) home = entry->pw_dir;
    }
    return (home.empty() ? std::string("/tmp") : home) + "/.config";
}

void LoadSettings(Settings& s) {
    const Settings d;
    WIniMan ini = SettingsIni();
    for (const SettingsField& field : kSettingsFields) {
        const char* key = field.key;
        std::visit(Overloaded{
                       [&](int Settings::*m) {
                           s.*m = TruncateToInt(ini.ReadNumber(kSection, key, d.*m));
                       },
                       [&](bool Settings::*m) {
                           s.*m = ini.ReadNumber(kSection, key, d.*m ? 1.0 : 0.0) != 0.0;
                       },
                       [&](std::string Settings::*m) {
                           s.*m = ini.ReadString(kSection, key, (d.*m).c_str());
                       },
                   },
                   field.member);
    }
}

void SaveSettings(const Settings& s) {
    WIniMan ini = SettingsIni();
    // Every key, changed or not; a value that cannot be written does not stop the others.
    for (const SettingsField& field : kSettingsFields) {
        const char* key = field.key;
        std::visit(Overloaded{
                       [&](int Settings::*m) { ini.WriteNumber(kSection, key, s.*m); },
                       [&](bool Settings::*m) { ini.WriteNumber(kSection, key, s.*m ? 1 : 0); },
                       [&](std::string Settings::*m) { ini.WriteString(kSection, key, s.*m); },
                   },
                   field.member);
    }
    ini.Save();
}
