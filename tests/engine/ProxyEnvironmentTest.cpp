// The environment's proxies as a job reads them: which variables count for which scheme,
// which a proxy given another way leaves out, and that an unusable one keeps its reason.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/ProxyEnvironment.h"

namespace {

std::string Describe(const std::optional<ProxyEndpoint>& endpoint) {
    if (!endpoint) return "-";
    if (!endpoint->error.empty()) return "error";
    return endpoint->address + ":" + std::to_string(endpoint->port);
}

TEST(ProxyEnvironment, ReadsEverySchemeNotGivenOtherwise) {
    struct Case {
        std::map<std::string, std::string> env;
        bool skipHttp;
        bool skipFtp;
        const char* http;
        const char* https;
        const char* ftp;
        const char* noProxy;
    } cases[] = {
        {{}, false, false, "-", "-", "-", ""},
        {{{"http_proxy", "127.0.0.1:3128"}, {"HTTPS_PROXY", "http://127.0.0.2:3129/"}},
         false,
         false,
         "127.0.0.1:3128",
         "127.0.0.2:3129",
         "-",
         ""},
        {{{"FTP_PROXY", "ftp://127.0.0.3:2121"}, {"NO_PROXY", "a.test"}},
         false,
         false,
         "-",
         "-",
         "127.0.0.3:2121",
         "a.test"},
        {{{"http_proxy", "127.0.0.1:3128"},
          {"https_proxy", "127.0.0.1:3128"},
          {"ftp_proxy", "127.0.0.1:2121"}},
         true,
         false,
         "-",
         "-",
         "127.0.0.1:2121",
         ""},
        {{{"http_proxy", "127.0.0.1:3128"}, {"ftp_proxy", "127.0.0.1:2121"}},
         false,
         true,
         "127.0.0.1:3128",
         "-",
         "-",
         ""},
        // Not usable: kept with the reason, for the connection that would need it.
        {{{"http_proxy", "ftp://127.0.0.1:21"}, {"ftp_proxy", "127.0.0.1:0"}},
         false,
         false,
         "error",
         "-",
         "error",
         ""},
    };
    for (const Case& c : cases) {
        GetEnv getenv = [&c](const char* name) -> const char* {
            auto found = c.env.find(name);
            return found == c.env.end() ? nullptr : found->second.c_str();
        };
        SCOPED_TRACE(::testing::Message()
                     << c.env.size() << " variables, skip " << c.skipHttp << c.skipFtp);
        const EnvironmentProxies proxies = ReadEnvironmentProxies(getenv, c.skipHttp, c.skipFtp);
        EXPECT_EQ(Describe(proxies.http), c.http);
        EXPECT_EQ(Describe(proxies.https), c.https);
        EXPECT_EQ(Describe(proxies.ftp), c.ftp);
        EXPECT_EQ(proxies.noProxy, c.noProxy);
    }
}

}  // namespace
