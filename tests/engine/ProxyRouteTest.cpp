// Which proxy carries each fetched URL when the proxies come from the environment: the rule
// is the URL's own (scheme and host), on the first request and after every redirect.
#include <gtest/gtest.h>

#include "HttpTestFixture.h"
#include "engine/ProxyRoute.h"
#include "net/WInternet.h"

using testsupport::FakeHttpOptions;
using testsupport::FakeHttpServer;

namespace {

ProxyEndpoint Endpoint(const char* address, int port) {
    ProxyEndpoint endpoint;
    endpoint.address = address;
    endpoint.port = port;
    return endpoint;
}

TEST(ProxyRoute, ChosenPerSchemeAndHost) {
    const int http = WInternet::kSchemeHttp, https = WInternet::kSchemeHttps,
              ftp = WInternet::kSchemeFtp;
    EnvironmentProxies httpOnly;
    httpOnly.http = Endpoint("10.0.0.1", 3128);
    EnvironmentProxies httpsOnly;
    httpsOnly.https = Endpoint("10.0.0.2", 3129);
    EnvironmentProxies all = httpOnly;
    all.https = httpsOnly.https;
    all.ftp = Endpoint("10.0.0.3", 2121);
    all.noProxy = "inside.test, .corp.test";
    struct Case {
        const EnvironmentProxies* proxies;
        int scheme;
        const char* host;
        const char* proxy;  // nullptr: direct
    } cases[] = {
        {&httpOnly, http, "www.example.org", "10.0.0.1"},
        {&httpOnly, https, "www.example.org", nullptr},  // http_proxy is not https's
        {&httpsOnly, https, "www.example.org", "10.0.0.2"},
        {&httpsOnly, http, "www.example.org", nullptr},
        {&all, https, "www.example.org", "10.0.0.2"},
        {&all, ftp, "www.example.org", "10.0.0.3"},
        {&all, http, "Inside.TEST", nullptr},
        {&all, https, "a.b.corp.test", nullptr},
        {&all, http, "corp.test.example.org", "10.0.0.1"},
        {&all, WInternet::kSchemeGopher, "www.example.org", nullptr},
    };
    for (const Case& c : cases) {
        const ProxyEndpoint* chosen = ProxyFor(*c.proxies, c.scheme, c.host);
        EXPECT_EQ(chosen ? chosen->address.c_str() : "-", std::string(c.proxy ? c.proxy : "-"))
            << "scheme " << c.scheme << ", host " << c.host;
    }
}

// The first URL goes through the proxy, which redirects to a host no_proxy names: that leg,
// and every thread's request after it, goes direct.
TEST_F(HttpEngineTest, RedirectToANoProxyHostGoesDirect) {
    FakeHttpServer server(Serving(3000));
    FakeHttpOptions proxyOptions = Serving(3000);
    proxyOptions.body = testsupport::PatternBytes(3000, 99);  // wrong bytes, should it serve
    proxyOptions.headStatus = 302;
    proxyOptions.location = server.Url();
    FakeHttpServer proxy(proxyOptions);
    auto host = MakeHost("http://origin.test/file.bin", 2);
    EnvironmentProxies& proxies = host->Fields().options.environmentProxies;
    proxies.http = Endpoint("127.0.0.1", proxy.Port());
    proxies.noProxy = "127.0.0.1";
    ASSERT_TRUE(testsupport::RunWorkers(*host)) << host->LogText(0);

    EXPECT_EQ(Part(0) + Part(1), server.Body()) << host->LogText(0);
    // Only the first URL's HEAD (one per thread that asked before the size was known).
    const auto viaProxy = proxy.Requests();
    ASSERT_FALSE(viaProxy.empty());
    EXPECT_EQ(proxy.Requests("HEAD").size(), viaProxy.size());
    for (const auto& r : viaProxy) EXPECT_EQ(r.target, "http://origin.test:80/file.bin");
    for (const auto& r : server.Requests()) EXPECT_EQ(r.target, "/file.bin");
}

}  // namespace
