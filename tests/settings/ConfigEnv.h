#pragma once
// Test helpers: set environment variables for one test and put the old values back after it.
#include <stdlib.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/TempDir.h"

namespace settingstest {

class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                unsetenv(it->first.c_str());
            }
        }
    }
    // value null: unset the variable.
    void Set(const std::string& name, const char* value) {
        const char* old = getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) {
            setenv(name.c_str(), value, 1);
        } else {
            unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A fresh settings directory for one test, through BRINDLE_CONFIG_DIR.
class ConfigDir {
public:
    ConfigDir() { env_.Set("BRINDLE_CONFIG_DIR", dir_.Path().c_str()); }
    const std::string& Path() const { return dir_.Path(); }
    std::string File(const std::string& name) const { return dir_.File(name); }

private:
    testsupport::TempDir dir_;
    ScopedEnv env_;
};

}  // namespace settingstest
