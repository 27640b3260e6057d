#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "settings/ConfigEnv.h"
#include "settings/SettingsFile.h"
#include "settings/WIniMan.h"
#include "support/TempDir.h"

using settingstest::ConfigDir;
using settingstest::ScopedEnv;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

const char* const kDefaultFile =
    "[settings]\n"
    "maxthreads=4\n"
    "attempts=4\n"
    "delfiles=1\n"
    "bufsize=4096\n"
    "defpass=tulip\n"
    "defuser=anonymous\n"
    "useproxy=0\n"
    "useauthorization=0\n"
    "proxyport=21\n"
    "proxyaddr=000.0.0.000\n"
    "ftpproxyport=80\n"
    "ftpproxyaddr=000.0.0.000\n"
    "passivemode=0\n";

Settings LoadFrom(const ConfigDir& dir, const std::string& fileText) {
    WriteFileBytes(dir.File("Brindle.ini"), fileText);
    Settings s;
    LoadSettings(s);
    return s;
}

TEST(SettingsDirectory, EnvironmentOrder) {
    ScopedEnv env;
    env.Set("BRINDLE_CONFIG_DIR", "/brindle/dir");
    env.Set("XDG_CONFIG_HOME", "/xdg/home");
    env.Set("HOME", "/home/user");
    EXPECT_EQ(SettingsDirectory(), "/brindle/dir");
    env.Set("BRINDLE_CONFIG_DIR", "");
    EXPECT_EQ(SettingsDirectory(), "/xdg/home");
    env.Set("XDG_CONFIG_HOME", "relative/dir");  // not absolute: ignored
    EXPECT_EQ(SettingsDirectory(), "/home/user/.config");
    env.Set("XDG_CONFIG_HOME", nullptr);
    env.Set("BRINDLE_CONFIG_DIR", nullptr);
    EXPECT_EQ(SettingsDirectory(), "/home/user/.config");
}

TEST(LoadSettings, NoFileGivesDefaultsAndSaveWritesAllKeysInOrder) {
    ConfigDir dir;
    Settings s;
    s.maxthreads = 99;  // a load replaces whatever the record held
    s.defuser = "someone";
    s.passivemode = true;
    LoadSettings(s);
    EXPECT_EQ(s, Settings());
    EXPECT_EQ(s.proxyport, 21);
    EXPECT_EQ(s.ftpproxyport, 80);
    SaveSettings(s);
    EXPECT_EQ(ReadFileBytes(dir.File("Brindle.ini")), kDefaultFile);
}

TEST(LoadSettings, EveryFieldIsReadAndSavedBack) {
    ConfigDir dir;
    const std::string text =
        "[settings]\n"
        "maxthreads=24\n"
        "attempts=9\n"
        "delfiles=0\n"
        "bufsize=8192\n"
        "defpass=pw:x@y\n"
        "defuser=joe\n"
        "useproxy=1\n"
        "useauthorization=1\n"
        "proxyport=3128\n"
        "proxyaddr=127.0.0.1\n"
        "ftpproxyport=2121\n"
        "ftpproxyaddr=10.0.0.1\n"
        "passivemode=1\n";
    const Settings s = LoadFrom(dir, text);
    EXPECT_EQ(s.maxthreads, 24);
    EXPECT_EQ(s.attempts, 9);
    EXPECT_FALSE(s.delfiles);
    EXPECT_EQ(s.bufsize, 8192);
    EXPECT_EQ(s.defpass, "pw:x@y");
    EXPECT_EQ(s.defuser, "joe");
    EXPECT_TRUE(s.useproxy);
    EXPECT_TRUE(s.useauthorization);
    EXPECT_EQ(s.proxyport, 3128);
    EXPECT_EQ(s.proxyaddr, "127.0.0.1");
    EXPECT_EQ(s.ftpproxyport, 2121);
    EXPECT_EQ(s.ftpproxyaddr, "10.0.0.1");
    EXPECT_TRUE(s.passivemode);
    SaveSettings(s);
    EXPECT_EQ(ReadFileBytes(dir.File("Brindle.ini")), text);
}

// The save as it was written before it became one write: thirteen writes, each replacing the
// file. The one-write save must leave exactly these bytes, whatever the file held.
void SaveKeyByKey(const Settings& s, const std::string& path) {
    WIniMan ini;
    ini.SetFileName(path);
    ini.WriteNumber("settings", "maxthreads", s.maxthreads);
    ini.WriteNumber("settings", "attempts", s.attempts);
    ini.WriteNumber("settings", "delfiles", s.delfiles ? 1 : 0);
    ini.WriteNumber("settings", "bufsize", s.bufsize);
    ini.WriteString("settings", "defpass", s.defpass);
    ini.WriteString("settings", "defuser", s.defuser);
    ini.WriteNumber("settings", "useproxy", s.useproxy ? 1 : 0);
    ini.WriteNumber("settings", "useauthorization", s.useauthorization ? 1 : 0);
    ini.WriteNumber("settings", "proxyport", s.proxyport);
    ini.WriteString("settings", "proxyaddr", s.proxyaddr);
    ini.WriteNumber("settings", "ftpproxyport", s.ftpproxyport);
    ini.WriteString("settings", "ftpproxyaddr", s.ftpproxyaddr);
    ini.WriteNumber("settings", "passivemode", s.passivemode ? 1 : 0);
}

class SaveMatchesKeyByKey : public testing::TestWithParam<const char*> {};

TEST_P(SaveMatchesKeyByKey, SameBytes) {
    ConfigDir dir;
    testsupport::TempDir other;
    const std::string oldPath = other.File("old.ini");
    if (GetParam() != nullptr) {
        WriteFileBytes(dir.File("Brindle.ini"), GetParam());
        WriteFileBytes(oldPath, GetParam());
    }
    Settings s;
    s.maxthreads = 30;
    s.useproxy = true;
    s.defpass = "  outer blanks ";
    s.defuser = "two\nlines";  // refused by both: the key is left as it was
    s.proxyaddr = "\"quoted\"";
    s.ftpproxyport = -1;
    SaveSettings(s);
    SaveKeyByKey(s, oldPath);
    EXPECT_EQ(ReadFileBytes(dir.File("Brindle.ini")), ReadFileBytes(oldPath));
}

INSTANTIATE_TEST_SUITE_P(
    StartingFiles, SaveMatchesKeyByKey,
    testing::Values(
        nullptr, "", "[other]\nx=1", "[other]\nx=1\n\n\n",
        "\xEF\xBB\xBF; comment\r\n[Settings]\r\nPassiveMode = 1\r\n\r\n[next]\r\ny=2\r\n",
        "[settings]\nbufsize=1\n[settings]\nattempts=3\n",
        "[settings]\ndefuser=keep\nmaxthreads=2\n; trailing\n\n[z]\n"));

TEST(LoadSettings, ValueFormsOfTheFile) {
    ConfigDir dir;
    const Settings s = LoadFrom(dir,
                                "[settings]\n"
                                "maxthreads=4.000000\n"
                                "attempts=12abc\n"
                                "bufsize=7.9\n"
                                "proxyport=-2.5\n"
                                "ftpproxyport=\n"
                                "defuser=\n"
                                "useproxy=-1\n"
                                "useauthorization=0.5\n"
                                "delfiles=\n"
                                "passivemode=yes\n");
    EXPECT_EQ(s.maxthreads, 4);
    EXPECT_EQ(s.attempts, 12);
    EXPECT_EQ(s.bufsize, 7);
    EXPECT_EQ(s.proxyport, -2);
    EXPECT_EQ(s.ftpproxyport, 0);  // present but empty: 0, not the default
    EXPECT_EQ(s.defuser, "");      // present but empty: not "anonymous"
    EXPECT_TRUE(s.useproxy);
    EXPECT_TRUE(s.useauthorization);
    EXPECT_FALSE(s.delfiles);
    EXPECT_FALSE(s.passivemode);
    EXPECT_EQ(s.defpass, "tulip");  // absent: the default
    SaveSettings(s);
    const std::string saved = ReadFileBytes(dir.File("Brindle.ini"));
    EXPECT_NE(saved.find("\nmaxthreads=4\n"), std::string::npos);
    EXPECT_NE(saved.find("\nuseproxy=1\n"), std::string::npos);
    EXPECT_NE(saved.find("\ndefuser=\n"), std::string::npos);
    EXPECT_NE(saved.find("\nproxyport=-2\n"), std::string::npos);
}

TEST(LoadSettings, NumbersBeyondAnIntSaturate) {
    ConfigDir dir;
    const Settings s = LoadFrom(dir,
                                "[settings]\nmaxthreads=1e20\nattempts=-1e20\nbufsize=inf\n"
                                "proxyport=nan\n");
    EXPECT_EQ(s.maxthreads, INT_MAX);
    EXPECT_EQ(s.attempts, INT_MIN);
    EXPECT_EQ(s.bufsize, INT_MAX);
    EXPECT_EQ(s.proxyport, 0);
}

TEST(LoadSettings, HandWrittenFileInAnyOrder) {
    ConfigDir dir;
    const Settings s = LoadFrom(dir,
                                "# written by hand\r\n"
                                "[window]\r\n"
                                "maxthreads=1\r\n"
                                "\r\n"
                                "[SETTINGS]\r\n"
                                "; proxy first\r\n"
                                "UseProxy = 1\r\n"
                                "proxyaddr = 192.168.1.5\r\n"
                                "\r\n"
                                "bufsize=16384\r\n"
                                "MaxThreads=8\r\n");
    EXPECT_EQ(s.maxthreads, 8);
    EXPECT_TRUE(s.useproxy);
    EXPECT_EQ(s.proxyaddr, "192.168.1.5");
    EXPECT_EQ(s.bufsize, 16384);
    EXPECT_EQ(s.attempts, 4);
    SaveSettings(s);
    // The other section and the comments survive a save; the keys are all there.
    Settings again;
    LoadSettings(again);
    EXPECT_EQ(again, s);
    const std::string saved = ReadFileBytes(dir.File("Brindle.ini"));
    EXPECT_EQ(saved.rfind("# written by hand\r\n[window]\r\nmaxthreads=1\r\n", 0), 0u);
    EXPECT_NE(saved.find("; proxy first\r\n"), std::string::npos);
    EXPECT_NE(saved.find("passivemode=0\r\n"), std::string::npos);
}

TEST(LoadSettings, LongPasswordIsCutOnLoad) {
    ConfigDir dir;
    Settings s;
    s.defpass = std::string(9000, 'p');
    SaveSettings(s);
    Settings back;
    LoadSettings(back);
    EXPECT_EQ(back.defpass, std::string(8191, 'p'));
}

// Workers snapshot while the UI thread edits: a snapshot never mixes two edits.
TEST(SharedSettings, SnapshotsAreNeverTorn) {
    SharedSettings shared;
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            const std::string tag = std::to_string(i);
            shared.Update([&](Settings& s) {
                s.defuser = "user" + tag;
                s.defpass = "pass" + tag;
                s.bufsize = i;
            });
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                const Settings s = shared.Snapshot();
                if (s.defuser == "anonymous") continue;  // before the first edit
                const std::string tag = std::to_string(s.bufsize);
                EXPECT_EQ(s.defuser, "user" + tag);
                EXPECT_EQ(s.defpass, "pass" + tag);
            }
        });
    }
    writer.join();
    for (auto& reader : readers) reader.join();
    Settings last;
    last.bufsize = 5;
    shared.Store(last);
    EXPECT_EQ(shared.Snapshot(), last);
}

}  // namespace
