// Which proxy the environment gives a URL: the no_proxy rules and the variables read per scheme.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "cli/ProxyConfig.h"
#include "net/WInternet.h"

namespace {

TEST(ProxyConfig, NoProxyRules) {
    struct Case {
        const char* list;
        const char* host;
        bool exempt;
    } cases[] = {
        {"*", "any.host", true},
        {"example.com", "example.com", true},
        {"example.com", "www.example.com", true},
        {"example.com", "badexample.com", false},  // a suffix only at a dot
        {"www.example.com", "example.com", false},
        {".example.com", "example.com", true},  // the leading dot also names the domain itself
        {".example.com", "a.b.example.com", true},
        {"EXAMPLE.com", "www.Example.COM", true},
        {"a.test, example.com:8080 ,b.test", "example.com", true},  // blanks, a port
        {"a.test,,*", "x.test", true},
        {"10.0.0.1", "10.0.0.12", false},
        {"", "example.com", false},
        {" , ., ", "example.com", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NoProxyMatches(c.list, c.host), c.exempt) << c.list << " / " << c.host;
    }
}

TEST(ProxyConfig, VariablesPerScheme) {
    const int http = WInternet::kSchemeHttp, https = WInternet::kSchemeHttps,
              ftp = WInternet::kSchemeFtp;
    struct Case {
        int scheme;
        std::map<std::string, std::string> env;
        const char* proxy;  // nullptr: none
    } cases[] = {
        {http, {{"http_proxy", "h:1"}}, "h:1"},
        {http, {{"HTTP_PROXY", "h:1"}}, nullptr},  // never the upper-case form for http://
        {http, {{"https_proxy", "s:2"}, {"ftp_proxy", "f:3"}}, nullptr},
        {https, {{"HTTPS_PROXY", "S:2"}}, "S:2"},
        {https, {{"https_proxy", "s:2"}, {"HTTPS_PROXY", "S:2"}}, "s:2"},
        {ftp, {{"ftp_proxy", ""}, {"FTP_PROXY", "F:3"}}, "F:3"},  // empty counts as unset
        {http, {{"http_proxy", "h:1"}, {"no_proxy", "host.test"}}, nullptr},
        {http, {{"http_proxy", "h:1"}, {"no_proxy", ""}, {"NO_PROXY", "host.test"}}, nullptr},
        {http, {{"http_proxy", "h:1"}, {"no_proxy", "other"}, {"NO_PROXY", "host.test"}}, "h:1"},
    };
    for (const Case& c : cases) {
        GetEnv getenv = [&c](const char* name) -> const char* {
            auto found = c.env.find(name);
            return found == c.env.end() ? nullptr : found->second.c_str();
        };
        std::optional<std::string> proxy = ProxyFromEnvironment(c.scheme, "www.host.test", getenv);
        SCOPED_TRACE(::testing::Message()
                     << "scheme " << c.scheme << ", " << c.env.size() << " variables");
        EXPECT_EQ(proxy.value_or("-"), c.proxy ? c.proxy : "-");
    }
}

// What a job takes from the environment: every scheme's proxy (dotted quads here, so nothing
// is looked up), refused at once only when the first URL itself would need a broken one.
TEST(ProxyConfig, EnvironmentKeptForEveryScheme) {
    const int http = WInternet::kSchemeHttp, https = WInternet::kSchemeHttps;
    const std::map<std::string, std::string> env = {
        {"http_proxy", "127.0.0.1:3128"}, {"https_proxy", "bad"}, {"no_proxy", "inside.test"}};
    GetEnv getenv = [&env](const char* name) -> const char* {
        auto found = env.find(name);
        return found == env.end() ? nullptr : found->second.c_str();
    };
    struct Case {
        int scheme;
        const char* host;
        bool proxyOption;
        bool settingsUseProxy;
        bool refused;
        bool httpKept;
    } cases[] = {
        {http, "www.example.org", false, false, false, true},
        {https, "www.example.org", false, false, true, true},
        {https, "inside.test", false, false, false, true},  // the first URL goes direct
        {https, "www.example.org", true, false, false, false},
        {https, "www.example.org", false, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.scheme << " " << c.host << " " << c.proxyOption << c.settingsUseProxy);
        CliOptions options;
        if (c.proxyOption) options.proxy = ProxyAddress{"127.0.0.2", 8080};
        EnvironmentProxies proxies;
        const std::string error =
            ChooseProxies(options, c.scheme, c.host, c.settingsUseProxy, getenv, proxies);
        EXPECT_EQ(!error.empty(), c.refused) << error;
        ASSERT_EQ(proxies.http.has_value(), c.httpKept);
        if (!c.httpKept) continue;
        EXPECT_EQ(proxies.http->address, "127.0.0.1");
        EXPECT_EQ(proxies.http->port, 3128);
        ASSERT_TRUE(proxies.https.has_value());
        EXPECT_NE(proxies.https->error.find("https_proxy must be HOST:PORT"), std::string::npos);
        EXPECT_EQ(proxies.noProxy, "inside.test");
    }
}

}  // namespace
