#include "app/NoDisplay.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// brindle-get beside this program (installed) or in the build tree's cli folder, else by name.
std::string BrindleGetCommand() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        std::filesystem::path dir = self.parent_path();
        for (const auto& candidate :
             {dir / "brindle-get", dir.parent_path() / "cli" / "brindle-get"}) {
            if (access(candidate.c_str(), X_OK) == 0) return candidate.lexically_normal().string();
        }
    }
    return "brindle-get";
}

}  // namespace

bool HasDisplay(int argc, char** argv) {
    if (IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM")) return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            return true;
        }
    }
    return false;
}

std::string NoDisplayMessage(int argc, char** argv) {
    std::string url = argc > 1 ? ShellQuote(argv[1]) : std::string("URL");
    return "brindle: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are not "
           "set); to download without a window, run:\n  " +
           BrindleGetCommand() + " " + url + "\n";
}
