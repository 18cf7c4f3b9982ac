#pragma once
// The HTTPS layer over libcurl: the one place a GET is set up (the wallet's own, the phone
// core's polling and the update page each bring their limits), the wallet's GETs and JSON
// POSTs with fixed time-outs and the 429 retry rule, the platform host pinned to its
// configured address, and the short error texts the user sees inside "error: " results.

#include <string>
#include <string_view>

#include "wallet/curl_handles.h"

namespace dialo {

/// GET with redirects; 404 counts as success only with `accept404`. Retries 429 up to three
/// times (0.4, 0.8, 1.6 s apart).
[[nodiscard]] bool fetch_get(const std::string& url, std::string& body, std::string& error, int timeoutSeconds,
                             bool accept404);

/// One GET with redirects and no retry: the status code, or -1 with `error` set to libcurl's
/// text or "curl init failed". With `sameHost` a redirect is followed only on the same host
/// and port; any other is answered as its 3xx status.
long get_once(const std::string& url, std::string& body, std::string& error, int timeoutSeconds, bool sameHost = false);

/// POST of a JSON text; 429 is retried while attempts remain (0.4 s × 2^n apart).
[[nodiscard]] bool post_json(const std::string& url, const std::string& json, std::string& reply, std::string& error,
                             int timeoutSeconds, int attempts);

/// POST over one kept-alive handle with 2-second limits and no retry (the oracle submit).
[[nodiscard]] bool post_json_shared(const std::string& url, const std::string& json, std::string& reply,
                                    std::string& error);

/// "HTTP 429 – ..." for rate limiting, "HTTP <code>" for empty or HTML bodies, else
/// "HTTP <code> – " and the first 120 bytes of the trimmed body.
std::string reply_error_text(long code, const std::string& body);

/// "https://" + the platform host (with its port when not 443) + path.
std::string service_url(const std::string& path);

/// Text made safe as one segment of a URL path: letters, digits and "-._~@+" kept, every other
/// byte percent-encoded.
std::string url_path_segment(std::string_view text);

/// What a URL's requests carry: where they are sent instead of where DNS would send them (the
/// platform host and its www. to the configured address, hosts the configuration pins), and
/// the configured API key on WhatsOnChain's and ARC's URLs.
struct HttpsPins {
    CurlList resolve;    // "host:port:address"
    CurlList connectTo;  // "host:port:address:port"
    CurlList headers;    // the API key's headers; a keyed request follows no redirect
};
HttpsPins https_pins(const std::string& url);

/// What every request of the phone's sets on a handle: HTTPS only (redirects too), the trusted
/// roots (the system's and the configured bundle) and the pins, which must outlive the handle's
/// requests.
void apply_https_policy(CURL* h, const HttpsPins& pins);

/// Releases the kept-alive handle (at shutdown, before libcurl's global cleanup).
void release_shared_http();

/// What the phone core's own GETs (polling, the rate, the update page) name themselves.
inline constexpr char kPhoneUserAgent[] = "Dialo/0.002";

/// How one GET is made and how much of its answer is read.
struct GetSetup {
    const char* userAgent = kPhoneUserAgent;
    long connectMs = 0;            // resolving and connecting
    long timeoutMs = 0;            // the whole request; 0: no limit
    long stallSeconds = 0;         // a transfer that moves no byte this long ends; 0: never
    size_t bodyCap = 8u << 20;     // bytes
    bool cutAtCap = false;         // a longer body: cut to the cap and read, or the request fails
    bool followRedirects = true;   // at most five, HTTPS only
    bool keepAlive = false;        // TCP keep-alive, for a handle kept across requests
};

/// What one GET got.
struct GetReply {
    long status = -1;      // -1: no answer, `error` says why (libcurl's text or "curl init failed")
    std::string body;
    std::string error;
    std::string redirect;  // where a 3xx answer points, when redirects are not followed
    long connects = 0;     // connections the request opened
    long retryAfter = 0;   // seconds a 429 or 503 asked to wait (0: none given)
};

/// Sets a handle up for GETs: the user agent, redirects, stall limit, keep-alive and the
/// HTTPS policy, whose pins must outlive the handle's requests. Limits are set per request.
void setup_get(CURL* h, const GetSetup& setup, const HttpsPins& pins);

/// One GET on a handle set up by setup_get, fresh or kept, with `setup`'s limits.
GetReply perform_get(CURL* h, const std::string& url, const GetSetup& setup);

/// One GET on a handle of its own, pinned for its URL.
GetReply https_get(const std::string& url, const GetSetup& setup);

}  // namespace dialo
