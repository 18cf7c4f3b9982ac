#include "app/startup.h"

#include <curl/curl.h>

#include "app/workers.h"
#include "call/https_get.h"
#include "platform/paths.h"
#include "store/phone_store.h"
#include "vaultra/connect.h"
#include "wallet/binding.h"
#include "wallet/http.h"

namespace dialo {

bool startCore() {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return false;
    load_settings();
    bind_instance(programDirectory(), "Dialo");
    // Publishes the connection (local files only), so the first thing shown is already right.
    (void)vaultra_connected();
    return true;
}

void shutdownCore() {
    vaultra_connect_abort();
    stopWorkers();
    release_shared_http();
    releasePhoneConnections();
    curl_global_cleanup();
}

}  // namespace dialo
