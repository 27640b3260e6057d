// Runs saved fuzz inputs through a target's entry point once each, so the seed corpus and the
// regression inputs form a test in the normal (non-fuzzing) build. Arguments are files or
// directories (their regular files, in name order); a missing directory is skipped, since a
// target may have no regressions yet. Fails when an input fails an invariant (the target
// aborts; the last "replay:" line names the input) or when no input was found at all.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

bool RunFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    std::printf("replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> found;
            for (const auto& entry : fs::directory_iterator(arg, ec)) {
                if (entry.is_regular_file(ec)) found.push_back(entry.path());
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::exists(arg, ec)) {
            files.push_back(arg);
        } else {
            std::printf("replay: %s does not exist, skipped\n", arg.c_str());
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    bool ok = true;
    for (const fs::path& file : files) ok = RunFile(file) && ok;
    std::printf("replay: %zu inputs, %s\n", files.size(), ok ? "all passed" : "FAILED");
    return ok ? 0 : 1;
}
