// The FTP conversation of single attempts against the scripted fake: reply framing over the
// wire, the size query, the data connection commands, the restart offsets and refusals.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>

#include "FtpTestHelpers.h"

namespace ftptest {
namespace {

using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

// Whether something listens on 127.0.0.1:port.
bool Listening(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// The port of a "PORT h1,h2,h3,h4,p1,p2" line.
int PortOf(const std::string& line) {
    int v[6] = {};
    if (std::sscanf(line.c_str(), "PORT %d,%d,%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5]) != 6) {
        return -1;
    }
    return v[4] * 256 + v[5];
}

class FtpSessionTest : public FtpFixture {};

TEST_F(FtpSessionTest, MultiLineGreetingAndStatSplitOverReads) {
    const std::string content = Pattern(70001);
    FakeFtpServer server(content);
    const std::string greeting =
        "220-Welcome to the fake\r\n220-second line\r\n 220 indented, not the end\r\n220 Ready\r\n";
    server.SetGreeting(greeting);
    server.SetReply("SIZE", "550 SIZE not allowed in ASCII mode\r\n");
    server.SetWriteChunk(4);
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 1);

    bool ok = false;
    auto s = RunOne(host, 0, ok);
    ASSERT_TRUE(ok) << host.LogText(0);
    EXPECT_EQ(ReadFileBytes(Target()), content);
    EXPECT_EQ(host.Fields().knowledge.Size(), 70001);
    // Both replies arrived whole: logged as read, each followed by CRLF.
    EXPECT_TRUE(Contains(host.LogLines(0), greeting + "\r\n")) << host.LogText(0);
    EXPECT_TRUE(AnyStartsWith(host.LogLines(0), "213-Status follows:\r\n-rw-r--r--"));
    EXPECT_EQ(
        server.Commands(0),
        (std::vector<std::string>{"USER anonymous", "PASS guest@", "TYPE i", "MDTM /file.bin",
                                  "SIZE /file.bin", "STAT /file.bin", "PASV", "RETR /file.bin"}));
}

TEST_F(FtpSessionTest, SizeRefusedThenSingleLineStat) {
    const std::string content = Pattern(4321);
    FakeFtpServer server(content);
    server.SetReply("SIZE", "500 Unknown command\r\n");
    server.SetReply("STAT", "213 -rw-r--r-- 1 ftp ftp 4321 Jan 01 00:00 file.bin\r\n");
    FakeJobHost host(MakeSettings(false), server.Url(), Target(), 1);

    bool ok = false;
    RunOne(host, 0, ok);
    ASSERT_TRUE(ok) << host.LogText(0);
    EXPECT_EQ(ReadFileBytes(Target()), content);
}

TEST_F(FtpSessionTest, SizeThatIsNoSizeFails) {
    struct Case {
        const char* size;
        const char* stat;
        bool statSent;
    };
    const Case cases[] = {
        {"213 0\r\n", nullptr, false},
        {"213 -40\r\n", nullptr, false},
        {"213 lots\r\n", nullptr, false},
        {"550 No\r\n", "450 No\r\n", true},
        {"550 No\r\n", "213-Status follows:\r\n213 End of status\r\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        FakeFtpServer server(Pattern(100));
        server.SetReply("SIZE", c.size);
        if (c.stat) server.SetReply("STAT", c.stat);
        FakeJobHost host(MakeSettings(true), server.Url(), Target(), 1);
        bool ok = true;
        RunOne(host, 0, ok);
        EXPECT_FALSE(ok);
        const auto commands = server.Commands(0);
        EXPECT_EQ(Contains(commands, "STAT /file.bin"), c.statSent);
        EXPECT_FALSE(AnyStartsWith(commands, "PASV"));
        EXPECT_FALSE(FileExists(Target()));
    }
}

TEST_F(FtpSessionTest, ZeroSizeIsNotAskedForAgain) {
    FakeFtpServer server(Pattern(100));
    server.SetReply("SIZE", "213 0\r\n");
    FakeJobHost host(MakeSettings(true, 2), server.Url(), Target(), 1);
    EXPECT_FALSE(RunWorkers(host, {0}));
    ASSERT_EQ(server.ConnectionCount(), 2);
    EXPECT_TRUE(Contains(server.Commands(0), "SIZE /file.bin"));
    EXPECT_FALSE(AnyStartsWith(server.Commands(1), "SIZE"));
    EXPECT_FALSE(AnyStartsWith(server.Commands(1), "RETR"));
}

TEST_F(FtpSessionTest, RefusalsEndTheAttemptAtOnce) {
    struct Case {
        const char* verb;
        const char* reply;
        const char* notSent;  // the command that must not follow
        bool passive;
    };
    const Case cases[] = {
        {"GREETING", "421 Too many users\r\n", "USER", true},
        {"USER", "530 Not allowed\r\n", "PASS", true},
        {"PASS", "530 Login incorrect\r\n", "TYPE", true},
        {"TYPE", "504 No\r\n", "SIZE", true},
        // A usable address, but the code is not 227.
        {"PASV", "200", "RETR", true},
        {"PASV", "227 Entering Passive Mode\r\n", "RETR", true},
        {"PORT", "250 Fine but not 200\r\n", "RETR", false},
        {"PORT", "500 Illegal PORT command\r\n", "RETR", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.verb) + " " + c.reply);
        FakeFtpServer server(Pattern(1000));
        if (std::string(c.verb) == "GREETING") {
            server.SetGreeting(c.reply);
        } else if (std::string(c.reply) == "200") {
            server.SetHook([](int, const std::string& verb, const std::string&, std::string& r) {
                if (verb == "PASV") r.replace(0, 3, "200");
            });
        } else {
            server.SetReply(c.verb, c.reply);
        }
        FakeJobHost host(MakeSettings(c.passive), server.Url(), Target(), 1);
        bool ok = true;
        auto s = RunOne(host, 0, ok);
        EXPECT_FALSE(ok);
        EXPECT_FALSE(AnyStartsWith(server.Commands(0), c.notSent)) << host.LogText(0);
        EXPECT_FALSE(FileExists(Target()));
    }
}

TEST_F(FtpSessionTest, ReplyOver64KiBFails) {
    FakeFtpServer server(Pattern(1000));
    std::string greeting;
    while (greeting.size() <= 70 * 1024) greeting += "220-" + std::string(200, 'w') + "\r\n";
    server.SetGreeting(greeting + "220 Ready\r\n");
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 1);
    bool ok = true;
    RunOne(host, 0, ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(server.Commands(0).empty());
}

TEST_F(FtpSessionTest, PasvReplyVariants) {
    // Lower case, no trailing dot, spaces inside the parentheses: all lead to the data.
    const std::string content = Pattern(3000);
    FakeFtpServer server(content);
    server.SetHook([](int, const std::string& verb, const std::string&, std::string& reply) {
        if (verb != "PASV") return;
        for (char& ch : reply) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        size_t dot = reply.find(").");
        reply.replace(dot, 2, " )");
        reply.replace(reply.find('(') + 1, 0, " ");
    });
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 1);
    bool ok = false;
    RunOne(host, 0, ok);
    ASSERT_TRUE(ok) << host.LogText(0);
    EXPECT_TRUE(AnyStartsWith(host.LogLines(0), "227 entering passive mode ( 127,0,0,1,"));
    EXPECT_EQ(ReadFileBytes(Target()), content);
}

TEST_F(FtpSessionTest, ActiveModePortFromTheControlConnection) {
    const std::string content = Pattern(50000);
    FakeFtpServer server(content);
    FakeJobHost host(MakeSettings(false), server.Url(), Target(), 1);
    bool ok = false;
    auto s = RunOne(host, 0, ok);
    ASSERT_TRUE(ok) << host.LogText(0);
    EXPECT_EQ(ReadFileBytes(Target()), content);
    const auto commands = server.Commands(0);
    ASSERT_TRUE(AnyStartsWith(commands, "PORT 127,0,0,1,"));
    for (const auto& line : commands) {
        if (line.rfind("PORT", 0) == 0) {
            EXPECT_GT(PortOf(line), 0) << line;
        }
    }
}

TEST_F(FtpSessionTest, Retr550ClosesTheListenerAndFails) {
    for (bool passive : {false, true}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        FakeFtpServer server(Pattern(1000));
        server.SetReply("RETR", "550 Failed to open file.\r\n");
        FakeJobHost host(MakeSettings(passive), server.Url(), Target(), 1);
        bool ok = true;
        auto s = RunOne(host, 0, ok);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(Contains(server.Commands(0), "RETR /file.bin"));
        if (!passive) {
            int port = -1;
            for (const auto& line : server.Commands(0)) {
                if (line.rfind("PORT", 0) == 0) port = PortOf(line);
            }
            ASSERT_GT(port, 0);
            EXPECT_FALSE(Listening(port));
        }
    }
}

TEST_F(FtpSessionTest, ResumedSegmentSendsRestWithItsOffset) {
    const std::string content = Pattern(20000);
    FakeFtpServer server(content);
    WriteFileBytes(Target(), content.substr(0, 1000));
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 1);
    bool ok = false;
    RunOne(host, 0, ok);
    ASSERT_TRUE(ok) << host.LogText(0);
    EXPECT_EQ(ReadFileBytes(Target()), content);
    const auto commands = server.Commands(0);
    ASSERT_GE(commands.size(), 2u);
    // The resume fetches the part's 1000 bytes again to compare them: from byte 0, no REST.
    EXPECT_EQ(commands[commands.size() - 2], "PASV");
    EXPECT_EQ(commands.back(), "RETR /file.bin");
    // The first report announces what was already there.
    auto progress = host.Progress(0);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress[0].done, 1000);
    EXPECT_EQ(progress[0].total, 20000);
    EXPECT_EQ(progress[0].delta, 1000);
}

TEST_F(FtpSessionTest, RestOffsetsBeyond4GiB) {
    // A 6 GB file: thread 1 of 2 starts at 3000000000, which no 32-bit offset holds.
    FakeFtpServer server(Pattern(10));
    server.SetReply("SIZE", "213 6000000000\r\n");
    server.SetReply("RETR", "550 Stop here\r\n");
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 2);
    WriteFileBytes(Target() + "1", "12345");
    bool ok = true;
    RunOne(host, 1, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(host.Fields().knowledge.Size(), 6000000000LL);
    // Five bytes in hand are fetched again for the seam check.
    EXPECT_TRUE(Contains(server.Commands(0), "REST 3000000000")) << host.LogText(1);
}

TEST_F(FtpSessionTest, FreshSegmentAtByteZeroClearsTheProbeOffset) {
    // Thread 0 of a fresh 3-thread job: the accepted probe left offset 64 on the server.
    const std::string content = Pattern(30000);
    FakeFtpServer server(content);
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 3);
    bool ok = false;
    auto s = RunOne(host, 0, ok);
    ASSERT_TRUE(ok) << host.LogText(0);
    EXPECT_EQ(ReadFileBytes(Target()), content.substr(0, 10000));
    const auto commands = server.Commands(0);
    EXPECT_TRUE(Contains(commands, "REST 64"));
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], "REST 0");
}

TEST_F(FtpSessionTest, OneThreadJobSendsNoRest) {
    const std::string content = Pattern(5000);
    FakeFtpServer server(content);
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 1);
    bool ok = false;
    RunOne(host, 0, ok);
    ASSERT_TRUE(ok) << host.LogText(0);
    EXPECT_EQ(ReadFileBytes(Target()), content);
    EXPECT_FALSE(AnyStartsWith(server.Commands(0), "REST"));
    EXPECT_EQ(host.Fields().knowledge.RangeSupport(), -1);
}

TEST_F(FtpSessionTest, RestOffsetAfterProbeNeedsNoRestZero) {
    // Thread 1 sends its own offset (its lead window before byte 10000), which replaces the
    // probe's.
    const std::string content = Pattern(30000);
    FakeFtpServer server(content);
    FakeJobHost host(MakeSettings(false), server.Url(), Target(), 3);
    bool ok = false;
    RunOne(host, 1, ok);
    ASSERT_TRUE(ok) << host.LogText(1);
    EXPECT_EQ(ReadFileBytes(Target() + "1"), content.substr(10000, 10000));
    const auto commands = server.Commands(0);
    EXPECT_TRUE(Contains(commands, "REST 5904"));
    EXPECT_FALSE(Contains(commands, "REST 0"));
}

TEST_F(FtpSessionTest, ProxyUserCarriesHostAndPort) {
    struct Case {
        const char* url;
        const char* user;
    };
    const Case cases[] = {
        {"ftp://files.example.org/file.bin", "USER anonymous@files.example.org"},
        {"ftp://files.example.org:2121/file.bin", "USER anonymous@files.example.org:2121"},
        {"ftp://bob:pw@files.example.org:21/file.bin", "USER bob@files.example.org"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const std::string content = Pattern(2000);
        FakeFtpServer server(content);  // plays the proxy
        Settings settings = MakeSettings(true);
        settings.useproxy = true;
        settings.ftpproxyaddr = "127.0.0.1";
        settings.ftpproxyport = server.Port();
        FakeJobHost host(settings, c.url, Target(), 1);
        bool ok = false;
        RunOne(host, 0, ok);
        ASSERT_TRUE(ok) << host.LogText(0);
        EXPECT_EQ(ReadFileBytes(Target()), content);
        ASSERT_FALSE(server.Commands(0).empty());
        EXPECT_EQ(server.Commands(0)[0], c.user);
        ::unlink(Target().c_str());
    }
}

TEST_F(FtpSessionTest, PathIsTrimmedOfSpaces) {
    const std::string content = Pattern(700);
    FakeFtpServer server(content);
    FakeJobHost host(MakeSettings(true), server.Url() + "  ", Target(), 1);
    bool ok = false;
    RunOne(host, 0, ok);
    ASSERT_TRUE(ok) << host.LogText(0);
    EXPECT_TRUE(Contains(server.Commands(0), "RETR /file.bin"));
    EXPECT_EQ(ReadFileBytes(Target()), content);
}

}  // namespace
}  // namespace ftptest
