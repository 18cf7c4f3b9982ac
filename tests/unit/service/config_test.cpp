// dialo-platform's configuration file: a good file, and each bad one named by its key.
#include <gtest/gtest.h>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>
#include "service/config.h"
#include "support/temp_folder.h"

namespace dialo::service {
namespace {
void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}
// "@" in a row's text stands for the test's folder.
std::string placed(std::string text, const std::string& folder) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + folder.size()))
        text.replace(at, 1, folder);
    return text;
}
TEST(PlatformConfig, GoodFileLoadsAndItsSummaryKeepsTheSecrets) {
    test::TempFolder dir("platform-config", false);
    for (const char* f : {"/cert.pem", "/key.pem", "/ca.pem", "/rpc.pw", "/pg.pw"}) writeText(dir.path + f, "x\n");
    const std::string path = dir.path + "/platform.json";
    writeText(path, placed(R"({"domain": "example.com",
        "listen": {"address": "0.0.0.0", "port": 8443},
        "tls": {"cert_file": "@/cert.pem", "key_file": "@/key.pem"},
        "storage": {"kind": "postgres", "conninfo": "host=db user=dialo password='hunter 2' dbname=dialo",
                    "password_file": "@/pg.pw"},
        "chain": {"kind": "node", "rpc_url": "http://127.0.0.1:8332", "rpc_user": "dialo",
                  "rpc_password_file": "@/rpc.pw", "poll_ms": 500},
        "index": {"addresses": "all"},
        "limits": {"client_per_second": 2.5, "client_burst": 10, "max_connections": 64, "max_wait_seconds": 20},
        "log": "@/requests.log"})",
                           dir.path));
    PlatformConfig cfg;
    std::vector<std::string> errors;
    ASSERT_TRUE(loadPlatformConfig(path, cfg, errors)) << (errors.empty() ? "" : errors[0]);
    EXPECT_EQ(cfg.domain + " " + cfg.storageKind + " " + cfg.chainKind, "example.com postgres node");
    EXPECT_TRUE(cfg.listenPort == 8443 && cfg.indexAll && cfg.limits.clientPerSecond == 2.5);
    EXPECT_EQ(cfg.limits.addressBurst, PlatformLimits{}.addressBurst);  // a default kept
    const std::string summary = configSummary(cfg);
    EXPECT_NE(summary.find("host=db"), std::string::npos);
    EXPECT_EQ(summary.find("hunter"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("warning"), std::string::npos) << summary;
    // Plain HTTP behind a proxy that is not trusted: every phone would share one rate limit.
    PlatformConfig plain = cfg;
    plain.tlsCertFile.clear();
    plain.tlsKeyFile.clear();
    EXPECT_NE(configSummary(plain).find("warning: plain HTTP without listen.trust_proxy"), std::string::npos);
    plain.trustProxy = true;
    EXPECT_EQ(configSummary(plain).find("warning"), std::string::npos);
    // The URI form's password, both as user info and as a parameter.
    for (const char* uri : {"postgresql://dialo:hunter2@db:5432/dialo", "postgres://db/dialo?sslmode=require&password=hunter2"}) {
        const std::string redacted = redactConninfo(uri);
        EXPECT_EQ(redacted.find("hunter2"), std::string::npos) << redacted;
        EXPECT_NE(redacted.find("db"), std::string::npos) << redacted;
    }
}
TEST(PlatformConfig, EachProblemIsOneLineNamingItsKey) {
    test::TempFolder dir("platform-config", false);
    writeText(dir.path + "/cert.pem", "x\n");
    // A name, the file's text, and the prefixes of the expected errors (none: it loads).
    const std::tuple<const char*, const char*, std::vector<const char*>> rows[] = {
        {"plain HTTP on loopback", R"({"domain": "a.test", "listen": {"address": "127.0.0.1", "port": 8080}})", {}},
        {"plain HTTP on a public address", R"({"domain": "a.test", "listen": {"address": "0.0.0.0"}})",
         {"tls: missing, and plain HTTP is served only on a loopback"}},
        {"unknown keys at any depth",
         R"({"domian": "a.test", "domain": "a.test", "listen": {"address": "::1", "prot": 1}})",
         {"domian: unknown key", "listen.prot: unknown key"}},
        {"missing domain", R"({"listen": {"address": "127.0.0.1"}})", {"domain: missing"}},
        {"ports", R"({"domain": "a.test", "listen": {"address": "127.0.0.1", "port": "443"}})",
         {"listen.port: must be a whole number from 0 to 65535"}},
        {"missing TLS files",
         R"({"domain": "a.test", "tls": {"cert_file": "@/cert.pem", "key_file": "@/nokey.pem"}})",
         {"tls.key_file: cannot read @/nokey.pem"}},
        {"storage and chain kinds",
         R"({"domain": "a.test", "listen": {"address": "127.0.0.1"}, "storage": {"kind": "mysql"},
             "chain": {"kind": "node", "rpc_url": "ftp://x"}})",
         {"storage.kind: must be", "chain.rpc_url: must start with", "chain.rpc_user: missing",
          "chain.rpc_password_file: missing"}},
        {"wrong types",
         R"({"domain": 7, "listen": {"address": "127.0.0.1"}, "index": {"addresses": "some"},
             "limits": {"client_burst": 0, "max_wait_seconds": 2.5}, "log": ["stdout"], "chain": "devnet"})",
         {"domain: must be a string", "index.addresses: must be", "limits.client_burst: must be",
          "limits.max_wait_seconds: must be", "log: must be a string", "chain: must be an object"}},
        {"not JSON", R"({"domain": )", {"@/platform.json: not a JSON object"}},
    };
    for (const auto& [name, text, lines] : rows) {
        SCOPED_TRACE(name);
        const std::string path = dir.path + "/platform.json";
        writeText(path, placed(text, dir.path));
        PlatformConfig cfg;
        std::vector<std::string> errors;
        EXPECT_EQ(loadPlatformConfig(path, cfg, errors), lines.empty());
        EXPECT_EQ(errors.size(), lines.size());
        for (const char* line : lines) {
            const std::string want = placed(line, dir.path);
            bool found = false;
            for (const std::string& e : errors) found = found || e.starts_with(want);
            EXPECT_TRUE(found) << "no line begins \"" << want << "\"";
        }
    }
    PlatformConfig cfg;
    std::vector<std::string> errors;
    EXPECT_FALSE(loadPlatformConfig(dir.path + "/absent.json", cfg, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "cannot read the configuration file " + dir.path + "/absent.json");
}
}  // namespace
}  // namespace dialo::service
