#include "service/source_http.h"

#include "wallet/curl_handles.h"

namespace dialo::service {

namespace {

struct Sink {
    std::string* body;
    size_t cap;
    bool over = false;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<Sink*>(user);
    const size_t n = size * count;
    if (s->body->size() + n > s->cap) {
        s->over = true;
        return 0;
    }
    s->body->append(data, n);
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(user);
    return cancel && cancel->load() ? 1 : 0;
}

}  // namespace

SourceReply sourceHttp(const SourceRequest& r, CurlEasy* kept) {
    SourceReply out;
    CurlEasy own;
    CurlEasy& h = kept ? *kept : own;
    // A reset keeps the handle's open connections and drops every option of the last exchange.
    if (h) curl_easy_reset(h.get());
    else h.reset(curl_easy_init());
    if (!h) {
        out.error = "curl init failed";
        return out;
    }
    Sink sink{&out.body, r.bodyCap};
    CurlList headers;
    CURL* c = h.get();
    curl_easy_setopt(c, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, r.timeoutMs);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "dialo-platform");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    if (r.cancel) {
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, r.cancel);
    }
    if (!r.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, r.caFile.c_str());
    if (r.userPassword) {
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
        curl_easy_setopt(c, CURLOPT_USERPWD, r.userPassword->c_str());
    }
    if (r.method == "POST") {
        headers.reset(curl_slist_append(nullptr, "Content-Type: application/json"));
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, r.body.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(r.body.size()));
    }
    const CURLcode rc = curl_easy_perform(c);
    // libcurl keeps its own copy of the credentials until the handle goes; clear it first.
    if (r.userPassword) curl_easy_setopt(c, CURLOPT_USERPWD, "");
    if (rc != CURLE_OK) {
        out.error = sink.over ? "answer larger than " + std::to_string(r.bodyCap) + " bytes"
                    : rc == CURLE_ABORTED_BY_CALLBACK ? "stopped"
                                                      : curl_easy_strerror(rc);
        out.body.clear();
        out.tooLarge = sink.over;
        return out;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &out.status);
    return out;
}

}  // namespace dialo::service
