#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "settings/ConfigEnv.h"
#include "settings/WIniMan.h"
#include "support/TempDir.h"

using settingstest::ConfigDir;
using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

WIniMan IniFor(const std::string& name) {
    WIniMan ini;
    ini.SetFileName(name);
    return ini;
}

TEST(WIniMan, NamesAndPaths) {
    WIniMan ini;
    EXPECT_EQ(ini.GetFileName(), "WIN.INI");
    ini.SetFileName("/somewhere/else.ini");
    EXPECT_EQ(ini.GetFileName(), "/somewhere/else.ini");
}

TEST(WIniMan, AbsentFileSectionOrKeyGivesTheDefault) {
    ConfigDir dir;
    WIniMan ini = IniFor(dir.File("t.ini"));
    EXPECT_EQ(ini.ReadString("s", "k", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("s", "k", nullptr), "");
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "k", 4.0), 4.0);
    WriteFileBytes(dir.File("t.ini"), "[other]\nk=1\n[s]\nj=2\n");
    EXPECT_EQ(ini.ReadString("s", "k", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("s", "j", nullptr), "");  // no default: nothing read
    EXPECT_EQ(ini.ReadString("nosection", "k", "d"), "d");
}

TEST(WIniMan, EmptyValueIsNotTheDefault) {
    ConfigDir dir;
    WriteFileBytes(dir.File("t.ini"), "[s]\nk=\nn =  \n");
    WIniMan ini = IniFor(dir.File("t.ini"));
    EXPECT_EQ(ini.ReadString("s", "k", "dflt"), "");
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "n", 7.0), 0.0);
}

TEST(WIniMan, ReadsHandWrittenFiles) {
    ConfigDir dir;
    WriteFileBytes(dir.File("t.ini"),
                   "\xEF\xBB\xBF; leading comment\r\n"
                   "[Other]\r\n"
                   "Key = wrong\r\n"
                   "\r\n"
                   "  [ Settings ]  \r\n"
                   "# hash comment\r\n"
                   "; key = commented out\r\n"
                   "\r\n"
                   "  KEY\t=\t value with ; and # inside \r\n"
                   "noequals line\r\n"
                   "second=2\r\n"
                   "key=later duplicate\r\n"
                   "[third]\r\n"
                   "key=third\r\n");
    WIniMan ini = IniFor(dir.File("t.ini"));
    EXPECT_EQ(ini.ReadString("settings", "key", "d"), "value with ; and # inside");
    EXPECT_EQ(ini.ReadString("SETTINGS", "Second", "d"), "2");
    EXPECT_EQ(ini.ReadString("other", "key", "d"), "wrong");
    EXPECT_EQ(ini.ReadString("third", "key", "d"), "third");
    EXPECT_EQ(ini.ReadString("settings", "noequals line", "d"), "d");
}

TEST(WIniMan, WriteCreatesDirectoryAndFile) {
    testsupport::TempDir temp;
    const std::string nested = temp.Path() + "/a/b";
    WIniMan ini = IniFor(nested + "/new.ini");
    ASSERT_TRUE(ini.WriteString("settings", "k", "v"));
    EXPECT_EQ(ReadFileBytes(nested + "/new.ini"), "[settings]\nk=v\n");
    ASSERT_TRUE(ini.WriteString("settings", "k2", "v2"));
    EXPECT_EQ(ReadFileBytes(nested + "/new.ini"), "[settings]\nk=v\nk2=v2\n");
    EXPECT_EQ(ini.ReadString("settings", "k", "d"), "v");
    // Only the file itself is left: no temporary files.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(nested)) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST(WIniMan, WriteKeepsEverythingElse) {
    ConfigDir dir;
    WriteFileBytes(dir.File("t.ini"),
                   "; my settings\r\n"
                   "[Settings]\r\n"
                   "  Bufsize = 1024\r\n"
                   "# note\r\n"
                   "defuser=joe\r\n"
                   "\r\n"
                   "[window]\r\n"
                   "x=10\r\n");
    WIniMan ini = IniFor(dir.File("t.ini"));
    ASSERT_TRUE(ini.WriteString("settings", "bufsize", "8192"));   // replaced where it stood
    ASSERT_TRUE(ini.WriteString("settings", "passivemode", "1"));  // added to its section
    ASSERT_TRUE(ini.WriteString("extra", "k", "v"));               // new section at the end
    EXPECT_EQ(ReadFileBytes(dir.File("t.ini")),
              "; my settings\r\n"
              "[Settings]\r\n"
              "bufsize=8192\r\n"
              "# note\r\n"
              "defuser=joe\r\n"
              "passivemode=1\r\n"
              "\r\n"
              "[window]\r\n"
              "x=10\r\n"
              "\r\n"
              "[extra]\r\n"
              "k=v\r\n");
}

TEST(WIniMan, StringsRoundTripExactly) {
    ConfigDir dir;
    WIniMan ini = IniFor(dir.File("t.ini"));
    for (const std::string value : {"", "  padded  ", "\"quoted\"", "a=b=c", "[not a section]",
                                    "; not a comment", "tab\tinside", "\xC3\xA9t\xC3\xA9"}) {
        ASSERT_TRUE(ini.WriteString("s", "k", value));
        EXPECT_EQ(ini.ReadString("s", "k", "d"), value);
    }
}

TEST(WIniMan, LineBreaksInAValueAreRefused) {
    ConfigDir dir;
    WIniMan ini = IniFor(dir.File("t.ini"));
    ASSERT_TRUE(ini.WriteString("s", "k", "v"));
    EXPECT_FALSE(ini.WriteString("s", "k", "evil\n[s]\nk2=injected"));
    EXPECT_FALSE(ini.WriteString("s", "k", "cr\rhere"));
    EXPECT_EQ(ReadFileBytes(dir.File("t.ini")), "[s]\nk=v\n");
}

TEST(WIniMan, LongStringsReadBackCutTo8191) {
    ConfigDir dir;
    WIniMan ini = IniFor(dir.File("t.ini"));
    std::string value(9000, 'x');
    value[8190] = 'A';
    value[8191] = 'B';
    ASSERT_TRUE(ini.WriteString("s", "k", value));
    const std::string back = ini.ReadString("s", "k", "d");
    EXPECT_EQ(back.size(), 8191u);
    EXPECT_EQ(back.back(), 'A');
    EXPECT_NE(ReadFileBytes(dir.File("t.ini")).find(value), std::string::npos);  // stored whole
}

TEST(WIniMan, ReadNumberFollowsAtof) {
    ConfigDir dir;
    WriteFileBytes(dir.File("t.ini"),
                   "[s]\nint=4.000000\nsuffix=12abc\nfrac=7.9\nneg=-2.5\nletters=abc\n"
                   "exp=1e3\nplus=+3\nspace=  42\nhex=0x10\n");
    WIniMan ini = IniFor(dir.File("t.ini"));
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "int", 0), 4.0);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "suffix", 0), 12.0);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "frac", 0), 7.9);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "neg", 0), -2.5);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "letters", 5), 0.0);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "exp", 0), 1000.0);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "plus", 0), 3.0);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "space", 0), 42.0);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "hex", 0), 16.0);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "absent", 4096.0), 4096.0);
    EXPECT_DOUBLE_EQ(ini.ReadNumber("s", "absent", -0.25), -0.25);
}

TEST(WIniMan, WriteNumberFormats) {
    ConfigDir dir;
    WIniMan ini = IniFor(dir.File("t.ini"));
    const std::pair<double, const char*> cases[] = {
        {4.0, "4"},
        {-1.0, "-1"},
        {0.0, "0"},
        {2147483647.0, "2147483647"},
        {-2147483648.0, "-2147483648"},
        {2.5, "2.500000"},
        {2147483648.0, "2147483648.000000"},
        {1e-9, "0.000000"},
    };
    for (const auto& [value, text] : cases) {
        ASSERT_TRUE(ini.WriteNumber("s", "n", value));
        EXPECT_EQ(ini.ReadString("s", "n", "d"), text) << value;
    }
}

// A GUI toolkit may switch the process to the user's locale; the file format must not change.
TEST(WIniMan, NumbersIgnoreTheProcessLocale) {
    const char* old = setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    if (!setlocale(LC_NUMERIC, "de_DE.UTF-8") && !setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
        GTEST_SKIP() << "no locale with a decimal comma installed";
    }
    ConfigDir dir;
    WIniMan ini = IniFor(dir.File("t.ini"));
    const bool written = ini.WriteNumber("s", "n", 2.5);
    const std::string text = ini.ReadString("s", "n", "d");
    const double back = ini.ReadNumber("s", "n", 0);
    setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_TRUE(written);
    EXPECT_EQ(text, "2.500000");
    EXPECT_DOUBLE_EQ(back, 2.5);
}

TEST(WIniMan, NewFileIsPrivateAndAnExistingModeIsKept) {
    ConfigDir dir;
    WIniMan ini = IniFor(dir.File("t.ini"));
    ASSERT_TRUE(ini.WriteString("s", "defpass", "secret"));
    struct stat st;
    ASSERT_EQ(stat(dir.File("t.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(chmod(dir.File("t.ini").c_str(), 0640), 0);
    ASSERT_TRUE(ini.WriteString("s", "defpass", "other"));
    ASSERT_EQ(stat(dir.File("t.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(WIniMan, WritesThroughASymlink) {
    ConfigDir dir;
    WriteFileBytes(dir.File("real.ini"), "[s]\nk=old\n");
    std::filesystem::create_symlink(dir.File("real.ini"), dir.File("link.ini"));
    WIniMan ini = IniFor(dir.File("link.ini"));
    ASSERT_TRUE(ini.WriteString("s", "k", "new"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
    EXPECT_EQ(ReadFileBytes(dir.File("real.ini")), "[s]\nk=new\n");
    EXPECT_TRUE(FileExists(dir.File("link.ini")));
}

}  // namespace
