#include "settings/SettingsFile.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cmath>

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

int ReadInt(WIniMan& ini, const char* key, int def) {
    return TruncateToInt(ini.ReadNumber(kSection, key, def));
}

bool ReadBool(WIniMan& ini, const char* key, bool def) {
    return ini.ReadNumber(kSection, key, def ? 1.0 : 0.0) != 0.0;
}

std::string ReadText(WIniMan& ini, const char* key, const std::string& def) {
    return ini.ReadString(kSection, key, def.c_str());
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
    WIniMan ini;
    ini.SetFileName(kFileName);
    s.maxthreads = ReadInt(ini, "maxthreads", d.maxthreads);
    s.attempts = ReadInt(ini, "attempts", d.attempts);
    s.delfiles = ReadBool(ini, "delfiles", d.delfiles);
    s.bufsize = ReadInt(ini, "bufsize", d.bufsize);
    s.defpass = ReadText(ini, "defpass", d.defpass);
    s.defuser = ReadText(ini, "defuser", d.defuser);
    s.useproxy = ReadBool(ini, "useproxy", d.useproxy);
    s.useauthorization = ReadBool(ini, "useauthorization", d.useauthorization);
    s.proxyport = ReadInt(ini, "proxyport", d.proxyport);
    s.proxyaddr = ReadText(ini, "proxyaddr", d.proxyaddr);
    s.ftpproxyport = ReadInt(ini, "ftpproxyport", d.ftpproxyport);
    s.ftpproxyaddr = ReadText(ini, "ftpproxyaddr", d.ftpproxyaddr);
    s.passivemode = ReadBool(ini, "passivemode", d.passivemode);
}

void SaveSettings(const Settings& s) {
    WIniMan ini;
    ini.SetFileName(kFileName);
    // One write per key, each flushed; a failed write does not stop the others.
    ini.WriteNumber(kSection, "maxthreads", s.maxthreads);
    ini.WriteNumber(kSection, "attempts", s.attempts);
    ini.WriteNumber(kSection, "delfiles", s.delfiles ? 1 : 0);
    ini.WriteNumber(kSection, "bufsize", s.bufsize);
    ini.WriteString(kSection, "defpass", s.defpass);
    ini.WriteString(kSection, "defuser", s.defuser);
    ini.WriteNumber(kSection, "useproxy", s.useproxy ? 1 : 0);
    ini.WriteNumber(kSection, "useauthorization", s.useauthorization ? 1 : 0);
    ini.WriteNumber(kSection, "proxyport", s.proxyport);
    ini.WriteString(kSection, "proxyaddr", s.proxyaddr);
    ini.WriteNumber(kSection, "ftpproxyport", s.ftpproxyport);
    ini.WriteString(kSection, "ftpproxyaddr", s.ftpproxyaddr);
    ini.WriteNumber(kSection, "passivemode", s.passivemode ? 1 : 0);
}
