// Hostile FTP replies and peers: a decoy data address, a data address elsewhere, a stranger on
// the active-mode listener, control characters in the credentials. The file comes out exact,
// or the attempt fails with a log line before anything is sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "FtpTestHelpers.h"

namespace ftptest {
namespace {

// "h1,h2,h3,h4,p1,p2" of a 227 reply, the port part only.
std::string PortPart(const std::string& reply) {
    const size_t open = reply.find('(');
    size_t at = open;
    for (int commas = 0; commas < 4; ++commas) at = reply.find(',', at + 1);
    return reply.substr(at + 1, reply.find(')') - at - 1);
}

struct PasvCase {
    const char* name;
    std::function<std::string(const std::string& real)> reply;
    const char* logged;
};

const PasvCase kPasvCases[] = {
    // The first "(" names a port with nobody behind it; only the closing line is the answer.
    {"DecoyBeforeTheClosingLine",
     [](const std::string& real) { return "227-Here it comes\r\n150 (127,0,0,1,0,1)\r\n" + real; },
     ""},
    // Data taken from where the control connection goes, whatever the reply says.
    {"AddressElsewhere",
     [](const std::string& real) {
         return "227 Entering Passive Mode (127,0,0,2," + PortPart(real) + ")\r\n";
     },
     "PASV reply names 127.0.0.2; connecting to 127.0.0.1 instead"},
    {"AddressOutside",
     [](const std::string& real) {
         return "227 Entering Passive Mode (192,0,2,1," + PortPart(real) + ")\r\n";
     },
     "PASV reply names 192.0.2.1; connecting to 127.0.0.1 instead"},
};

void PrintTo(const PasvCase& c, std::ostream* os) {
    *os << c.name;
}

class FtpPasvHostileTest : public FtpFixture, public ::testing::WithParamInterface<PasvCase> {};

TEST_P(FtpPasvHostileTest, DataComesFromTheControlPeer) {
    const std::string content = Pattern(30011);
    FakeFtpServer server(content);
    const PasvCase& c = GetParam();
    server.SetHook([&c](int, const std::string& verb, const std::string&, std::string& reply) {
        if (verb == "PASV" && reply.rfind("227", 0) == 0) reply = c.reply(reply);
    });
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 3);
    ASSERT_TRUE(RunJob(host)) << host.LogText(0);
    EXPECT_EQ(Joined(host), content);
    if (*c.logged != '\0') {
        EXPECT_NE(host.LogText(1).find(c.logged), std::string::npos) << host.LogText(1);
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, FtpPasvHostileTest, ::testing::ValuesIn(kPasvCases),
                         [](const auto& param) { return std::string(param.param.name); });

// Connects from 127.0.0.2 to the listener a PORT argument names and sends junk, before the
// server's own data connection comes.
int StrangerConnects(const std::string& portArgument) {
    int h[4], p1, p2;
    if (std::sscanf(portArgument.c_str(), "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &p1,
                    &p2) != 6) {
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7f000002);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(p1 * 256 + p2));
    remote.sin_addr.s_addr = htonl(0x7f000001);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string junk(4096, 'J');
    (void)!::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
    return fd;
}

TEST_F(FtpFixture, ActiveModeTurnsAStrangerAway) {
    const std::string content = Pattern(20000);
    FakeFtpServer server(content);
    std::vector<int> strangers;
    std::mutex strangersLock;
    server.SetHook([&](int, const std::string& verb, const std::string& arg, std::string&) {
        if (verb != "PORT") return;
        std::lock_guard<std::mutex> guard(strangersLock);
        strangers.push_back(StrangerConnects(arg));
    });
    FakeJobHost host(MakeSettings(false), server.Url(), Target(), 2);
    const bool ok = RunJob(host);
    for (int fd : strangers) {
        EXPECT_GE(fd, 0);
        if (fd >= 0) ::close(fd);
    }
    ASSERT_TRUE(ok) << host.LogText(0);
    EXPECT_EQ(Joined(host), content);
    EXPECT_NE(host.LogText(0).find("Data connection from 127.0.0.2 refused"), std::string::npos)
        << host.LogText(0);
}

// A line break in a name or password would send a command of its own: nothing is sent.
TEST_F(FtpFixture, ControlCharactersInCredentialsSendNothing) {
    FakeFtpServer server(Pattern(1000));
    for (auto [user, password] : {std::pair<std::string, std::string>{"anon\r\nDELE f.bin", "x"},
                                  {"anonymous", "pw\nDELE f.bin"},
                                  {"anonymous", std::string("p\0w", 3)}}) {
        Settings settings = MakeSettings(true);
        settings.defuser = user;
        settings.defpass = password;
        FakeJobHost host(settings, server.Url(), Target(), 1);
        bool ok = true;
        RunOne(host, 0, ok);
        EXPECT_FALSE(ok);
        EXPECT_NE(host.LogText(0).find("holds a control character: refused"), std::string::npos);
    }
    EXPECT_EQ(server.ConnectionCount(), 0);
}

// A URL's user and password are sent decoded; a control character that decoding yields is
// refused like a literal one, before anything is sent.
TEST_F(FtpFixture, UrlCredentialsAreDecodedThenChecked) {
    struct Case {
        const char* userInfo;
        const char* user;  // nullptr: refused
        const char* password;
    } cases[] = {
        {"b%40c:x", "USER b@c", "PASS x"},
        {"anon:p%3Aw%2F%25", "USER anon", "PASS p:w/%"},
        {"%zz:100%", "USER %zz", "PASS 100%"},  // not escapes: kept as they stand
        {"anon%0D%0ADELE%20file.bin:x", nullptr, nullptr},
        {"anon:pw%0adele%20file.bin", nullptr, nullptr},
        {"anon:p%00w", nullptr, nullptr},
        {"a%09b:x", nullptr, nullptr},
        {"a%7Fb:x", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.userInfo);
        FakeFtpServer server(Pattern(1000));
        std::string url = server.Url();
        url.insert(url.find("//") + 2, std::string(c.userInfo) + "@");
        FakeJobHost host(MakeSettings(true), url, Target(), 1);
        bool ok = false;
        RunOne(host, 0, ok);
        if (c.user == nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_NE(host.LogText(0).find("holds a control character: refused"),
                      std::string::npos);
            EXPECT_EQ(server.ConnectionCount(), 0);
            continue;
        }
        ASSERT_TRUE(ok) << host.LogText(0);
        EXPECT_EQ(testsupport::ReadFileBytes(Target()), Pattern(1000));
        const auto commands = server.Commands(0);
        EXPECT_TRUE(Contains(commands, c.user));
        EXPECT_TRUE(Contains(commands, c.password));
        ::unlink(Target().c_str());
    }
}

// A URL's path reaches the server decoded; a decoded line break is refused before connecting.
TEST_F(FtpFixture, UrlPathsAreDecodedThenChecked) {
    struct Case {
        const char* urlPath;
        const char* serverPath;  // nullptr: refused
    } cases[] = {
        {"/dir%20a/file%20with%20space.bin", "/dir a/file with space.bin"},
        {"/100%25.bin", "/100%.bin"},
        {"/f.bin%0D%0ADELE%20x", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.urlPath);
        FakeFtpServer server(Pattern(1000), c.serverPath != nullptr ? c.serverPath : "/f.bin");
        const std::string url = "ftp://127.0.0.1:" + std::to_string(server.Port()) + c.urlPath;
        FakeJobHost host(MakeSettings(true), url, Target(), 1);
        bool ok = false;
        RunOne(host, 0, ok);
        if (c.serverPath == nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(server.ConnectionCount(), 0);
            continue;
        }
        ASSERT_TRUE(ok) << host.LogText(0);
        EXPECT_EQ(testsupport::ReadFileBytes(Target()), Pattern(1000));
        EXPECT_TRUE(Contains(server.Commands(0), std::string("RETR ") + c.serverPath));
        ::unlink(Target().c_str());
    }
}

// A reply trickling in a byte at a time must still be whole within the stall limit.
TEST_F(FtpFixture, TricklingReplyEndsWithinTheStallLimit) {
    FakeFtpServer server(Pattern(1000));
    server.SetGreeting("220-" + std::string(2000, 'w') + "\r\n220 ready\r\n");
    server.SetWriteChunk(1);  // 5 ms a byte: about 10 s for the greeting
    FakeJobHost host(MakeSettings(true), server.Url(), Target(), 1);
    host.Fields().options = JobOptions{2000, 500, 0};
    bool ok = true;
    RunOne(host, 0, ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(host.LogText(0).find("No complete reply within the stall limit"), std::string::npos);
}

}  // namespace
}  // namespace ftptest
