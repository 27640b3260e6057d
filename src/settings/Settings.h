#pragma once
// The persistent settings record, and its safe sharing between the UI thread (which loads,
// edits and saves it) and the worker threads (which take a snapshot per attempt).
#include <array>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

// One field per key of the settings file, with the values used when a key is absent.
struct Settings {
    int maxthreads = 4;
    int attempts = 4;
    bool delfiles = true;
    int bufsize = 4096;
    std::string defpass = "tulip";
    std::string defuser = "anonymous";
    bool useproxy = false;
    bool useauthorization = false;
    int proxyport = 21;     // the HTTP proxy; 21 is the historical default, kept on purpose
    int ftpproxyport = 80;  // the FTP proxy; likewise 80
    std::string proxyaddr = "000.0.0.000";
    std::string ftpproxyaddr = "000.0.0.000";
    bool passivemode = false;

    bool operator==(const Settings&) const = default;
};

// One key of the settings file and the field of the record it fills.
struct SettingsField {
    const char* key;
    std::variant<int Settings::*, bool Settings::*, std::string Settings::*> member;
};

// Every key, in the order the file is read and written.
inline constexpr std::array<SettingsField, 13> kSettingsFields{{
    {"maxthreads", &Settings::maxthreads},
    {"attempts", &Settings::attempts},
    {"delfiles", &Settings::delfiles},
    {"bufsize", &Settings::bufsize},
    {"defpass", &Settings::defpass},
    {"defuser", &Settings::defuser},
    {"useproxy", &Settings::useproxy},
    {"useauthorization", &Settings::useauthorization},
    {"proxyport", &Settings::proxyport},
    {"proxyaddr", &Settings::proxyaddr},
    {"ftpproxyport", &Settings::ftpproxyport},
    {"ftpproxyaddr", &Settings::ftpproxyaddr},
    {"passivemode", &Settings::passivemode},
}};

// One handler per member type, for std::visit over SettingsField::member.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// The entry of a key, or null.
inline const SettingsField* FindSettingsField(std::string_view key) {
    for (const SettingsField& field : kSettingsFields) {
        if (key == field.key) return &field;
    }
    return nullptr;
}

// The process's settings record behind a lock. The UI thread stores or updates it; workers
// read a copy, so a change made meanwhile never tears a value they are using.
class SharedSettings {
public:
    SharedSettings() = default;
    explicit SharedSettings(const Settings& settings) : settings_(settings) {}
    SharedSettings(const SharedSettings&) = delete;
    SharedSettings& operator=(const SharedSettings&) = delete;

    Settings Snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return settings_;
    }
    void Store(const Settings& settings) {
        std::lock_guard<std::mutex> lock(mutex_);
        settings_ = settings;
    }
    // Runs change(Settings&) under the lock, for edits of single fields.
    template <class F>
    void Update(F&& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::forward<F>(change)(settings_);
    }

private:
    mutable std::mutex mutex_;
    Settings settings_;
};
