#pragma once
// Owners for libcurl handles, so every path out of a request releases them.

#include <curl/curl.h>

#include <memory>

namespace dialo {

struct CurlEasyFree {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct CurlListFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct CurlUrlFree {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlFree>;

}  // namespace dialo
