#include "app/startup.h"

#include <curl/curl.h>

#include "app/workers.h"
#include "store/phone_store.h"

namespace dialo {

bool startCore() {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return false;
    load_settings();
    return true;
}

void shutdownCore() {
    stopWorkers();
    curl_global_cleanup();
}

}  // namespace dialo
