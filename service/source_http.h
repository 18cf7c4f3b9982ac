#pragma once
// The one HTTP exchange the chain sources make: a GET or POST over libcurl with a configured CA,
// optional basic auth, a time limit and a flag that cuts a long poll short when the source
// stops. Shared by the devnet feed and the node sources only.

#include <atomic>
#include <string>

#include "wallet/curl_handles.h"

namespace dialo::service {

struct SourceRequest {
    std::string method = "GET";
    std::string url;
    std::string body;         // POST only, sent as application/json
    std::string caFile;       // empty: the system's roots
    const std::string* userPassword = nullptr;  // "user:password" for basic auth; the caller wipes it
    long timeoutMs = 10000;
    size_t bodyCap = 64u << 20;  // bytes
    const std::atomic<bool>* cancel = nullptr;  // set: the transfer ends at once
};

struct SourceReply {
    long status = -1;  // -1: no answer; `error` says why
    std::string body;
    std::string error;
    bool tooLarge = false;  // the answer ran past `bodyCap` and was cut off
};

/// With `kept`, the exchange runs on that handle (made on first use), whose connection stays
/// open for the next: a source polling every half second does not connect every time.
SourceReply sourceHttp(const SourceRequest& request, CurlEasy* kept = nullptr);

}  // namespace dialo::service
