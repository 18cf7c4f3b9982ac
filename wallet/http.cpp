#include "wallet/http.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>

#include "base/clock.h"
#include "base/config.h"
#include "base/text.h"
#include "wallet/curl_handles.h"

namespace dialo {
namespace {

constexpr char kUserAgent[] = "Orvane-Vaultra/0.1";
constexpr long kConnectTimeoutSeconds = 8;
constexpr size_t kReplyCap = 8u << 20;  // bytes: no answer the wallet reads is anywhere near this
constexpr uint32_t kRetryBaseMs = 400;
constexpr int kGetAttempts = 4;
constexpr size_t kErrorBodyBytes = 120;
constexpr long kMaxRedirects = 5;
constexpr char kRateLimited[] = "HTTP 429 \xE2\x80\x93 WhatsOnChain is rate-limiting. Wait a few seconds and try again.";

struct Sink {
    std::string& body;
    size_t cap;     // bytes
    bool cutAtCap;  // past the cap: keep what fits and stop, or fail the transfer
    bool cut = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t n = size * count;
    try {
        const size_t room = sink->cap - sink->body.size();
        if (n > room) {
            if (sink->cutAtCap) {
                sink->body.append(data, room);
                sink->cut = true;
            }
            return 0;
        }
        sink->body.append(data, n);
        return n;
    } catch (const std::exception&) {  // out of memory: end the transfer, not the process
        return 0;
    }
}

struct X509StoreFree {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct InfoStackFree {
    void operator()(STACK_OF(X509_INFO)* s) const { sk_X509_INFO_pop_free(s, X509_INFO_free); }
};

// Two stores, parsed once and shared by every connection (parsing the system's bundle costs
// more than a request on a kept connection): the system's roots, and those plus the configured
// bundle (the devnet's CA), which vouches only for the configured services' hosts. The second
// is read again when the bundle changes, so a devnet started after the phone is trusted
// without a restart.
std::mutex gRootsMutex;
std::unique_ptr<X509_STORE, X509StoreFree> gSystemRoots;  // guarded by gRootsMutex
std::unique_ptr<X509_STORE, X509StoreFree> gRoots;        // guarded by gRootsMutex
std::string gRootsPath;
struct timespec gRootsTime{};

constexpr char kSystemBundle[] = "/etc/ssl/certs/ca-certificates.crt";

void addPemFile(X509_STORE* store, const std::string& path) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) return;
    std::unique_ptr<STACK_OF(X509_INFO), InfoStackFree> infos(PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr));
    if (!infos) return;
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
        if (info->x509) X509_STORE_add_cert(store, info->x509);
    }
}

// The store for a host, with one more reference for the caller; null when it cannot be made.
X509_STORE* trustedRoots(const std::string& host) {
    const NetworkConfig net = networkConfig();
    const std::string path = caFilePath();
    const bool withCa = !path.empty() && caVouchesFor(net, host);
    struct stat st{};
    struct timespec mtime{};
    if (withCa && ::stat(path.c_str(), &st) == 0) mtime = st.st_mtim;
    std::lock_guard lock(gRootsMutex);
    if (!gSystemRoots) {
        std::unique_ptr<X509_STORE, X509StoreFree> store(X509_STORE_new());
        if (!store) return nullptr;
        addPemFile(store.get(), kSystemBundle);
        gSystemRoots = std::move(store);
    }
    if (withCa &&
        (!gRoots || path != gRootsPath || mtime.tv_sec != gRootsTime.tv_sec || mtime.tv_nsec != gRootsTime.tv_nsec)) {
        std::unique_ptr<X509_STORE, X509StoreFree> store(X509_STORE_new());
        if (!store) return nullptr;
        addPemFile(store.get(), kSystemBundle);
        addPemFile(store.get(), path);
        gRoots = std::move(store);
        gRootsPath = path;
        gRootsTime = mtime;
    }
    X509_STORE* chosen = withCa ? gRoots.get() : gSystemRoots.get();
    return X509_STORE_up_ref(chosen) == 1 ? chosen : nullptr;
}

// Gives each new TLS connection the shared store for its host. The host is read from the
// handle, not set with the options: after a redirect it is the new one's.
CURLcode useTrustedRoots(CURL* curl, void* sslCtx, void*) {
    char* url = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || url == nullptr)
        return CURLE_SSL_CACERT_BADFILE;
    X509_STORE* store = trustedRoots(urlHost(url));
    if (!store) return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(sslCtx), store);  // takes the reference
    return CURLE_OK;
}

}  // namespace

namespace {

bool urlHostPort(const std::string& url, std::string& host, std::string& port) {
    CurlUrl u(curl_url());
    char* h = nullptr;
    char* p = nullptr;
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
        curl_url_get(u.get(), CURLUPART_HOST, &h, 0) != CURLUE_OK ||
        curl_url_get(u.get(), CURLUPART_PORT, &p, CURLU_DEFAULT_PORT) != CURLUE_OK) {
        curl_free(h);
        return false;
    }
    host = h;
    port = p;
    curl_free(h);
    curl_free(p);
    return true;
}

}  // namespace

namespace {

// Whether `url` is `base` or below it.
bool underBase(const std::string& url, const std::string& base) {
    return !base.empty() && url.starts_with(base) &&
           (url.size() == base.size() || url[base.size()] == '/' || url[base.size()] == '?');
}

// Appends one header line; the line, which may hold a key, is wiped here.
void appendHeader(CurlList& list, std::string line) {
    if (curl_slist* grown = curl_slist_append(list.get(), line.c_str())) {
        (void)list.release();
        list.reset(grown);
    }
    OPENSSL_cleanse(line.data(), line.size());
}

// WhatsOnChain has documented both header names for its keys; ARC takes a bearer token.
void appendApiKeys(CurlList& list, const NetworkConfig& net, const std::string& url) {
    if (!net.wocApiKey.empty() && underBase(url, net.wocBase)) {
        appendHeader(list, "Authorization: " + net.wocApiKey);
        appendHeader(list, "woc-api-key: " + net.wocApiKey);
    } else if (!net.arcApiKey.empty() && underBase(url, net.arcBase)) {
        appendHeader(list, "Authorization: Bearer " + net.arcApiKey);
    }
}

// A POST's headers: its body's type and the URL's API key.
CurlList postHeaders(const std::string& url) {
    CurlList list;
    appendHeader(list, "Content-Type: application/json");
    appendApiKeys(list, networkConfig(), url);
    return list;
}

}  // namespace

HttpsPins https_pins(const std::string& url) {
    HttpsPins pins;
    NetworkConfig net = networkConfig();
    appendApiKeys(pins.headers, net, url);
    // No pinned address: the platform host is found through DNS, as on the main network.
    if (!net.serviceDomain.empty() && !net.serviceAddress.empty() && url.find(net.serviceDomain) != std::string::npos) {
        std::string port = std::to_string(net.servicePort);
        curl_slist* list = curl_slist_append(nullptr, (net.serviceDomain + ":" + port + ":" + net.serviceAddress).c_str());
        if (list) list = curl_slist_append(list, ("www." + net.serviceDomain + ":" + port + ":" + net.serviceAddress).c_str());
        pins.resolve.reset(list);
    }
    std::string host, port;
    HostPin pin;
    if (!net.hosts.empty() && urlHostPort(url, host, port) && pinnedHost(net, host, pin)) {
        const std::string to = pin.port > 0 ? std::to_string(pin.port) : port;
        pins.connectTo.reset(curl_slist_append(nullptr, (host + ":" + port + ":" + pin.address + ":" + to).c_str()));
    }
    return pins;
}

void apply_https_policy(CURL* h, const HttpsPins& pins) {
    // Plain HTTP would hand keys' addresses and claims to anyone on the path, and URLs
    // from remote hosts (paymail) must not lead anywhere else either: HTTPS only, redirects too.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    // No bundle file of libcurl's own: the shared store is all that is trusted.
    curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, useTrustedRoots);
    curl_easy_setopt(h, CURLOPT_RESOLVE, pins.resolve.get());
    curl_easy_setopt(h, CURLOPT_CONNECT_TO, pins.connectTo.get());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, pins.headers.get());
    if (pins.resolve || pins.connectTo) curl_easy_setopt(h, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
}

namespace {

// What every request sets, GET or POST.
void baseOptions(CURL* h, const char* userAgent, const HttpsPins& pins) {
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    apply_https_policy(h, pins);
}

// The wallet's POSTs; `sink` must outlive the request.
void postOptions(CURL* h, const std::string& url, Sink& sink, const HttpsPins& pins) {
    baseOptions(h, kUserAgent, pins);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
}

// The wallet's GETs: an answer past the cap is a failure, not a cut body.
GetSetup walletGet(int timeoutSeconds, bool followRedirects) {
    return {.userAgent = kUserAgent,
            .connectMs = kConnectTimeoutSeconds * 1000,
            .timeoutMs = long(timeoutSeconds) * 1000,
            .bodyCap = kReplyCap,
            .followRedirects = followRedirects};
}

// One attempt; the status code, or -1 with `error` set on a transport failure.
long perform(CURL* h, std::string& error) {
    CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        error = curl_easy_strerror(rc);
        return -1;
    }
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

std::mutex gSharedMutex;
CurlEasy gShared;
HttpsPins gSharedPins;

}  // namespace

std::string service_url(const std::string& path) {
    NetworkConfig net = networkConfig();
    std::string host = net.serviceDomain;
    if (net.servicePort != 443) host += ":" + std::to_string(net.servicePort);
    return "https://" + host + path;
}

std::string url_path_segment(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || c == '~' || c == '@' || c == '+';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[uint8_t(c) >> 4];
            out += kHex[uint8_t(c) & 15];
        }
    }
    return out;
}

std::string reply_error_text(long code, const std::string& body) {
    if (code == 429) return kRateLimited;
    const std::string prefix = "HTTP " + std::to_string(code);
    if (body.empty() || body.find("<html") != std::string::npos || body.find("<HTML") != std::string::npos ||
        body.find("<!DOCTYPE") != std::string::npos)
        return prefix;
    std::string text = body;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return prefix + " \xE2\x80\x93 " + text.substr(0, kErrorBodyBytes);
}

void setup_get(CURL* h, const GetSetup& setup, const HttpsPins& pins) {
    baseOptions(h, setup.userAgent, pins);
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    // A key goes to its service alone, never on to where a redirect points.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, setup.followRedirects && !pins.headers ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    if (setup.stallSeconds > 0) {
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, setup.stallSeconds);
    }
    if (setup.keepAlive) curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
}

GetReply perform_get(CURL* h, const std::string& url, const GetSetup& setup) {
    GetReply reply;
    Sink sink{reply.body, setup.bodyCap, setup.cutAtCap};
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, setup.connectMs);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, setup.timeoutMs);
    const CURLcode rc = curl_easy_perform(h);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
    (void)curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &reply.connects);
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && sink.cut)) {
        reply.error = curl_easy_strerror(rc);
        return reply;
    }
    reply.status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_off_t after = 0;
    if (curl_easy_getinfo(h, CURLINFO_RETRY_AFTER, &after) == CURLE_OK && after > 0) reply.retryAfter = long(after);
    char* next = nullptr;
    if (!setup.followRedirects && reply.status >= 300 && reply.status <= 399 &&
        curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &next) == CURLE_OK && next != nullptr)
        reply.redirect = next;
    return reply;
}

GetReply https_get(const std::string& url, const GetSetup& setup) {
    CurlEasy h(curl_easy_init());
    if (!h) {
        GetReply reply;
        reply.error = "curl init failed";
        return reply;
    }
    const HttpsPins pins = https_pins(url);
    setup_get(h.get(), setup, pins);
    return perform_get(h.get(), url, setup);
}

bool fetch_get(const std::string& url, std::string& body, std::string& error, int timeoutSeconds, bool accept404) {
    for (int attempt = 0; attempt < kGetAttempts; ++attempt) {
        GetReply reply = https_get(url, walletGet(std::max(2, timeoutSeconds), true));
        body = std::move(reply.body);
        error = std::move(reply.error);
        const long code = reply.status;
        if (code < 0) return false;
        if ((code >= 200 && code < 300) || (code == 404 && accept404)) return true;
        if (code == 429 && attempt + 1 < kGetAttempts) {
            sleepMs(kRetryBaseMs << attempt);
            continue;
        }
        error = reply_error_text(code, body);
        return false;
    }
    error = kRateLimited;
    return false;
}

long get_once(const std::string& url, std::string& body, std::string& error, int timeoutSeconds, bool sameHost) {
    std::string at = url;
    for (int hop = 0;; ++hop) {
        GetReply reply = https_get(at, walletGet(std::max(1, timeoutSeconds), !sameHost));
        body = std::move(reply.body);
        error = std::move(reply.error);
        const long code = reply.status;
        if (!sameHost || code < 300 || code > 399) return code;
        // Followed by hand, and only on the same host and port: a host that names a picture
        // must not send the phone to fetch from anywhere else.
        if (hop == kMaxRedirects || reply.redirect.empty()) return code;
        std::string fromHost, fromPort, toHost, toPort;
        if (!urlHostPort(at, fromHost, fromPort) || !urlHostPort(reply.redirect, toHost, toPort) ||
            lowerAscii(fromHost) != lowerAscii(toHost) || fromPort != toPort || urlHost(reply.redirect).empty())
            return code;
        at = std::move(reply.redirect);
    }
}

bool post_json(const std::string& url, const std::string& json, std::string& reply, std::string& error,
               int timeoutSeconds, int attempts) {
    reply.clear();
    error.clear();
    if (attempts < 1) {
        error = kRateLimited;
        return false;
    }
    for (int attempt = 0; attempt < attempts; ++attempt) {
        reply.clear();
        error.clear();
        CurlEasy h(curl_easy_init());
        CurlList headers = postHeaders(url);
        if (!h || !headers) {
            error = "curl init failed";
            return false;
        }
        HttpsPins pins = https_pins(url);
        Sink sink{reply, kReplyCap, false};
        postOptions(h.get(), url, sink, pins);
        curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, json.c_str());
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE, long(json.size()));
        curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, long(std::max(1, timeoutSeconds)));
        long code = perform(h.get(), error);
        if (code < 0) return false;
        if (code >= 200 && code < 300) return true;
        if (code == 429 && attempt + 1 < attempts) {
            sleepMs(kRetryBaseMs << std::min(attempt, 16));
            continue;
        }
        error = reply_error_text(code, reply);
        return false;
    }
    return false;
}

bool post_json_shared(const std::string& url, const std::string& json, std::string& reply, std::string& error) {
    std::lock_guard lock(gSharedMutex);
    reply.clear();
    error.clear();
    if (!gShared) {
        gShared.reset(curl_easy_init());
        if (!gShared) {
            error = "curl init failed";
            return false;
        }
        gSharedPins = https_pins(url);
    }
    CURL* h = gShared.get();
    CurlList headers = postHeaders(url);
    Sink sink{reply, kReplyCap, false};
    postOptions(h, url, sink, gSharedPins);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, json.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, long(json.size()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 2L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 2L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    long code = perform(h, error);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    if (code < 0) {
        gShared.reset();
        gSharedPins = {};
        return false;
    }
    if (code >= 200 && code < 300) return true;
    error = reply_error_text(code, reply);
    return false;
}

void release_shared_http() {
    std::lock_guard lock(gSharedMutex);
    gShared.reset();
    gSharedPins = {};
}

}  // namespace dialo
