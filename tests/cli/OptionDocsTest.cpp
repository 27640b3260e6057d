// The texts made from the option table: the checked-in man page, completion and README section
// are up to date, the completion completes what a shell user types, and the closing summary
// line reads as it should.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ProcessRunner.h"
#include "cli/OptionDocs.h"
#include "cli/RunSummary.h"
#include "support/TempDir.h"

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

const std::string kSource = BRINDLE_SOURCE_DIR;

TEST(OptionDocs, CheckedInFilesAreMadeFromTheTable) {
    const char* hint = "out of date: cmake --build build --target cli-docs";
    EXPECT_EQ(ReadFileBytes(kSource + "/data/brindle-get.1"), ManPage()) << hint;
    EXPECT_EQ(ReadFileBytes(kSource + "/data/brindle-get.bash"), BashCompletion()) << hint;
    const std::string readme = ReadFileBytes(kSource + "/README.md");
    const size_t begin = readme.find(kReadmeBegin);
    const size_t end = readme.find(kReadmeEnd);
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(readme.substr(begin, end + std::string(kReadmeEnd).size() + 1 - begin),
              ReadmeOptions())
        << hint;
}

TEST(OptionDocs, CompletionCompletesPathsOptionsAndValues) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.File("dir").c_str(), 0755), 0);
    WriteFileBytes(dir.File("file.bin"), "x");
    const std::string script =
        "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _brindle_get; "
        "IFS=,; echo \"${COMPREPLY[*]}\"";
    // The words of the command line up to the cursor, and what the completion offers.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"brindle-get", "--vers"}, "--version"},
        {{"brindle-get", "-o", "di"}, "dir/"},
        {{"brindle-get", "--cacert", "fi"}, "file.bin"},
        {{"brindle-get", "--output=di"}, "--output=dir/"},  // '=' not a word break
        {{"brindle-get", "--output", "=", "di"}, "dir/"},   // '=' a word break
        {{"brindle-get", "--input-file", "=", ""}, "dir/,file.bin"},
        {{"brindle-get", "--checksum=sha5"}, "--checksum=sha512="},
        {{"brindle-get", "--checksum", "md"}, "md5="},
        {{"brindle-get", "-n", ""}, ""},
        {{"brindle-get", "-v", "--ins"}, "--insecure"},
    };
    for (const auto& [words, want] : cases) {
        std::vector<std::string> args = {"-c", script, "_", kSource + "/data/brindle-get.bash"};
        args.insert(args.end(), words.begin(), words.end());
        const clitest::ProcessResult r =
            clitest::RunProcess("/bin/bash", args, dir.Path(), {}, 10000);
        EXPECT_EQ(r.out, want + "\n") << words.back() << " " << r.err;
    }
}

TEST(RunSummary, NamesFileSizeTimeAndRate) {
    constexpr int64_t kMiB = 1 << 20;
    const std::vector<std::pair<RunFigures, std::string>> cases = {
        {{"t.bin", "", 12 * kMiB, 12 * kMiB, 1400}, "Saved t.bin: 12.0 MiB in 1.4 s (8.6 MiB/s)"},
        {{"t.bin", "http://h/t.bin", 1000, 1000, 0},
         "Saved t.bin from http://h/t.bin: 1000 B in 0.00 s (976.6 KiB/s)"},
        {{"standard output", "", 8 * kMiB, 2 * kMiB, 83000},
         "Saved standard output: 8.0 MiB (2.0 MiB of it fetched now) in 1m23s (24.7 KiB/s)"},
    };
    for (const auto& [figures, want] : cases) EXPECT_EQ(RunSummary(figures), want);
}

}  // namespace
