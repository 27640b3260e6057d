// brindle-get: the headless front end. Parses the command line and runs one job.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "cli/OptionDocs.h"
#include "settings/SettingsFile.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseCommandLine(args);
    if (!parsed.ok) {
        PrintError(parsed.error);
        PrintUsageHint();
        return kExitUsage;
    }
    if (parsed.options.help) {
        std::fputs(UsageText(SettingsDirectory() + "/Brindle.ini").c_str(), stdout);
        return kExitSuccess;
    }
    if (parsed.options.version) {
        std::printf("brindle-get %s\n", BRINDLE_VERSION);
        return kExitSuccess;
    }
    return RunBrindleGet(parsed.options);
}
