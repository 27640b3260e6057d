// brindle-get's option parsing, the settings it overrides, and its terminal formatting.
#include <gtest/gtest.h>

#include "cli/CliOptions.h"
#include "cli/TerminalDisplay.h"

namespace {

ParseResult Parse(std::vector<std::string> args) {
    return ParseCommandLine(args);
}

TEST(CliOptions, Defaults) {
    const ParseResult r = Parse({"http://h/f"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.url, "http://h/f");
    EXPECT_EQ(r.options.threads, 4);
    EXPECT_FALSE(r.options.attempts.has_value());
    EXPECT_EQ(r.options.answer, FilesAnswer::Ask);
    EXPECT_EQ(r.options.output, "");
    EXPECT_EQ(r.options.connectTimeoutMs, 0);
    EXPECT_EQ(r.options.stallTimeoutMs, 0);
    EXPECT_FALSE(r.options.passive.has_value());
}

TEST(CliOptions, EveryOptionInItsForms) {
    const ParseResult r = Parse({"-o",
                                 "out.bin",
                                 "--threads=8",
                                 "-a3",
                                 "-yvk",
                                 "--keep-parts",
                                 "--cacert",
                                 "ca.pem",
                                 "--max-redirects=0",
                                 "--passive",
                                 "--proxy",
                                 "10.1.2.3:3128",
                                 "--ftp-proxy=127.0.0.1:2121",
                                 "--user",
                                 "bob",
                                 "--password",
                                 "",
                                 "--auth",
                                 "--buffer-size",
                                 "65536",
                                 "--connect-timeout",
                                 "2",
                                 "--stall-timeout=0.5",
                                 "-v",
                                 "-q",
                                 "ftp://h/f"});
    ASSERT_TRUE(r.ok) << r.error;
    const CliOptions& o = r.options;
    EXPECT_EQ(o.output, "out.bin");
    EXPECT_EQ(o.threads, 8);
    EXPECT_EQ(o.attempts, 3);
    EXPECT_EQ(o.answer, FilesAnswer::Yes);
    EXPECT_TRUE(o.keepParts);
    EXPECT_TRUE(o.insecure);  // -k is --insecure; --keep-parts has no letter
    EXPECT_EQ(o.caFile, "ca.pem");
    EXPECT_EQ(o.maxRedirects, 0);
    EXPECT_EQ(o.passive, true);
    ASSERT_TRUE(o.proxy.has_value());
    EXPECT_EQ(o.proxy->address, "10.1.2.3");
    EXPECT_EQ(o.proxy->port, 3128);
    EXPECT_EQ(o.ftpProxy->port, 2121);
    EXPECT_EQ(o.user, "bob");
    EXPECT_EQ(o.password, "");  // given, though empty
    EXPECT_TRUE(o.auth);
    EXPECT_EQ(o.bufferSize, 65536);
    EXPECT_EQ(o.connectTimeoutMs, 2000);
    EXPECT_EQ(o.stallTimeoutMs, 500);
    EXPECT_TRUE(o.verbose);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.url, "ftp://h/f");
}

TEST(CliOptions, UrlMayComeFirstAndDashDashEndsOptions) {
    ParseResult r = Parse({"http://h/f", "-n", "2", "--no", "--active"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.threads, 2);
    EXPECT_EQ(r.options.answer, FilesAnswer::No);
    EXPECT_EQ(r.options.passive, false);
    r = Parse({"--", "-odd-name"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.url, "-odd-name");
}

TEST(CliOptions, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"http://a/1", "http://b/2"},
        {"-n", "0", "http://h/f"},
        {"-n", "33", "http://h/f"},
        {"-n", "3x", "http://h/f"},
        {"-n", "-3", "http://h/f"},
        {"-a", "0", "http://h/f"},
        {"--attempts=201", "http://h/f"},
        {"--bogus", "http://h/f"},
        {"-Z", "http://h/f"},
        {"-yZ", "http://h/f"},
        {"http://h/f", "-o"},
        {"--output=", "http://h/f"},
        {"-y", "--no", "http://h/f"},
        {"--passive", "--active", "http://h/f"},
        {"--proxy", "proxy.example:8080", "http://h/f"},  // names are never looked up
        {"--proxy", "127.0.0.1", "http://h/f"},
        {"--proxy", "127.0.0.1:0", "http://h/f"},
        {"--ftp-proxy", "127.0.0.1:65536", "ftp://h/f"},
        {"--buffer-size", "0", "http://h/f"},
        {"--connect-timeout", "0", "http://h/f"},
        {"--stall-timeout", "-1", "http://h/f"},
        {"--stall-timeout", "1e3", "http://h/f"},
        {"--yes=1", "http://h/f"},
        {"--user", "anon\r\nDELE f.bin", "ftp://h/f"},
        {"--password", "pw\nDELE f.bin", "ftp://h/f"},
        {"--retry-delay", "-1", "http://h/f"},
        {"--max-redirects", "101", "http://h/f"},
        {"--cacert=", "http://h/f"},
        {"-O", "-o", "x", "http://h/f"},
        {"-c", "--no", "http://h/f"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        const ParseResult r = ParseCommandLine(args);
        EXPECT_FALSE(r.ok) << joined;
        EXPECT_FALSE(r.error.empty()) << joined;
        EXPECT_EQ(r.error.find('\n'), std::string::npos) << joined;
    }
}

TEST(CliOptions, GetoptMessages) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus", "u"}, "unrecognized option '--bogus'"},
        {{"-yZ", "u"}, "invalid option -- 'Z'"},
        {{"u", "-o"}, "option requires an argument -- 'o'"},
        {{"u", "--output"}, "option '--output' requires an argument"},
        {{"--yes=1", "u"}, "option '--yes' doesn't allow an argument"},
        {{"--pass", "u"}, "option '--pass' is ambiguous"},
    };
    for (const auto& [args, message] : cases) EXPECT_EQ(Parse(args).error, message);
    EXPECT_EQ(Parse({"--thr=2", "u"}).options.threads, 2);  // unique abbreviations work
}

TEST(CliOptions, HelpAndVersionNeedNoUrl) {
    EXPECT_TRUE(Parse({"--help"}).options.help);
    EXPECT_TRUE(Parse({"-h"}).ok);
    EXPECT_TRUE(Parse({"--version"}).options.version);
    EXPECT_TRUE(Parse({"-V"}).options.version);
    const std::string usage = UsageText();
    for (const char* option :
         {"--output",        "--threads",  "--attempts",      "--yes",         "--no",
          "--keep-parts",    "--passive",  "--active",        "--proxy",       "--ftp-proxy",
          "--user",          "--password", "--auth",          "--buffer-size", "--connect-timeout",
          "--stall-timeout", "--verbose",  "--quiet",         "--help",        "--version",
          "--cacert",        "--insecure", "--max-redirects", "--remote-name", "--continue",
          "--silent"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
}

TEST(CliOptions, OverridesTheLoadedSettings) {
    Settings s;
    s.attempts = 9;
    s.delfiles = true;
    s.passivemode = false;
    const ParseResult r =
        Parse({"-a", "2", "--keep-parts", "--passive", "--user", "u", "--password", "p", "--auth",
               "--buffer-size", "1000", "--proxy", "127.0.0.2:8080", "http://h/f"});
    ASSERT_TRUE(r.ok);
    ApplyOptions(r.options, /*ftpUrl=*/false, s);
    EXPECT_EQ(s.attempts, 2);
    EXPECT_FALSE(s.delfiles);
    EXPECT_TRUE(s.passivemode);
    EXPECT_EQ(s.defuser, "u");
    EXPECT_EQ(s.defpass, "p");
    EXPECT_TRUE(s.useauthorization);
    EXPECT_EQ(s.bufsize, 1000);
    EXPECT_TRUE(s.useproxy);
    EXPECT_EQ(s.proxyaddr, "127.0.0.2");
    EXPECT_EQ(s.proxyport, 8080);
}

TEST(CliOptions, ProxyOfTheOtherSchemeDoesNotTurnProxiesOn) {
    const ParseResult r = Parse({"--proxy", "127.0.0.2:8080", "ftp://h/f"});
    Settings s;
    ApplyOptions(r.options, /*ftpUrl=*/true, s);
    EXPECT_FALSE(s.useproxy);  // an ftp:// URL would otherwise go to the settings' FTP proxy
    EXPECT_EQ(s.proxyaddr, "127.0.0.2");

    const ParseResult f = Parse({"--ftp-proxy", "127.0.0.3:2121", "ftp://h/f"});
    Settings t;
    ApplyOptions(f.options, true, t);
    EXPECT_TRUE(t.useproxy);
    EXPECT_EQ(t.ftpproxyaddr, "127.0.0.3");
    EXPECT_EQ(t.ftpproxyport, 2121);

    // Nothing given: the loaded record stays as it was.
    Settings loaded;
    loaded.useproxy = true;
    Settings copy = loaded;
    ApplyOptions(Parse({"http://h/f"}).options, false, copy);
    EXPECT_EQ(copy, loaded);
}

TEST(TerminalDisplay, VerboseLinesArePrefixed) {
    EXPECT_EQ(FormatLogText(0, "ATTEMPTION #0\r\n\r\n"), "[#0] ATTEMPTION #0\n[#0] \n");
    EXPECT_EQ(FormatLogText(12, "HTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n\r\n"),
              "[#12] HTTP/1.1 206 Partial Content\n[#12] Content-Length: 5\n[#12] \n");
    EXPECT_EQ(FormatLogText(1, "no line end"), "[#1] no line end\n");
    EXPECT_EQ(FormatLogText(1, "a\nb\r\n"), "[#1] a\n[#1] b\n");
    EXPECT_EQ(FirstLine("HTTP/1.1 404 Not Found\r\nServer: x\r\n"), "HTTP/1.1 404 Not Found");
}

TEST(TerminalDisplay, BarsPackIntoTheWidth) {
    JobView view;
    view.threads.resize(8);
    view.threads[0].position = 50;
    view.threads[1].position = 100;
    view.threads[2].failed = true;
    view.text = "100 b of 200 (50%) at 100 bps";
    std::vector<std::string> lines = RenderDisplay(view, 80);
    ASSERT_EQ(lines.size(), 4u);  // 8 bars, 3 to a line of 80, then the job text
    EXPECT_EQ(lines[0].substr(0, 21), "#0  [#####     ]  50%");
    EXPECT_NE(lines[0].find("#1  [##########] 100%"), std::string::npos);
    EXPECT_NE(lines[0].find("#2  [  failed  ]"), std::string::npos);
    EXPECT_EQ(lines.back(), view.text);
    for (const std::string& line : lines) EXPECT_LE(line.size(), 80u);

    lines = RenderDisplay(view, 20);  // narrower than one bar: one bar a line
    EXPECT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines.back().size(), 19u);  // the job text is cut to the width
}

}  // namespace
