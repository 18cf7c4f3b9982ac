#include "app/startup.h"

#include <curl/curl.h>

#include "app/workers.h"
#include "audio/backend.h"
#include "audio/playback.h"
#include "base/config.h"
#include "call/https_get.h"
#include "platform/paths.h"
#include "state/phone_state.h"
#include "store/phone_store.h"
#include "vaultra/connect.h"
#include "wallet/binding.h"
#include "wallet/http.h"

namespace dialo {
namespace {

bool gEchoLine = false;

// The configured sound system; without one the phone runs silent and says so once.
void openSound() {
    if (gEchoLine) {
        AudioConfig echo;
        echo.backend = AudioBackend::File;
        echo.echo = true;
        setAudioConfig(echo);
    }
    const AudioConfig config = audioConfig();
    const SoundBackend& chosen = config.backend == AudioBackend::Pulse  ? pulseBackend()
                                 : config.backend == AudioBackend::File ? fileBackend()
                                                                        : noneBackend();
    std::string note;
    setSoundBackend(chosen.open(note) ? chosen : noneBackend());
    if (!note.empty()) setStatus(note);
    setOutputId(lockPhone().state.settings.output);
}

}  // namespace

void setEchoLine(bool on) { gEchoLine = on; }

bool startCore() {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return false;
    load_settings();
    openSound();
    phoneFlags().quietRing = gEchoLine;  // an echo line's own ring would be heard back
    bind_instance(programDirectory(), "Dialo");
    // Publishes the connection (local files only), so the first thing shown is already right.
    (void)vaultra_connected();
    return true;
}

void shutdownCore() {
    vaultra_connect_abort();
    stopWorkers();
    releaseOutputs();
    soundBackend().close();
    release_shared_http();
    releasePhoneConnections();
    curl_global_cleanup();
}

}  // namespace dialo
