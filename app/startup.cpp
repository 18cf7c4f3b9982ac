#include "app/startup.h"

#include <curl/curl.h>
#include <memory>

#include "app/workers.h"
#include "audio/backend.h"
#include "audio/capture.h"
#include "audio/playback.h"
#include "base/config.h"
#include "base/detached.h"
#include "call/call_control.h"
#include "call/https_get.h"
#include "call/poller.h"
#include "platform/paths.h"
#include "state/phone_state.h"
#include "store/phone_store.h"
#include "store/saver.h"
#include "vaultra/connect.h"
#include "vaultra/identity_lookup.h"
#include "vaultra/own_handle.h"
#include "wallet/binding.h"
#include "wallet/coins.h"
#include "wallet/http.h"
#include "wallet/published.h"
#include "wallet/secp256k1.h"

namespace dialo {
namespace {

// Milliseconds shutdown waits for threads nobody joins before it gives up freeing libcurl.
constexpr uint32_t kDetachedWaitMs = 10000;

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
    // A sound server missing now may start later (a log-in races it): the sound watcher keeps
    // trying, so PulseAudio stays chosen. A file that cannot be played never gets better.
    const bool opened = chosen.open(note);
    setSoundBackend(opened || &chosen == &pulseBackend() ? chosen : noneBackend());
    if (!note.empty()) setStatus(note);
    PhoneSettings settings = lockPhoneBrief().state.settings;
    setOutputId(settings.output);
    setInputId(settings.input);
}

}  // namespace

void setEchoLine(bool on) { gEchoLine = on; }

bool startCore() {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return false;
    init_curve();
    load_settings();
    // Without it saves are written under the phone-state mutex, as they are in tests.
    (void)start_store_saver();
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
    // Ringers end within a tenth of a second once the workers stop; a call's fee payment, a
    // coin split, an avatar fetch or the update check may be inside libcurl for a few seconds.
    // libcurl's handles and its global state must outlive them.
    const bool alone = waitForDetached(kDetachedWaitMs);
    // What was saved reaches the disk before the process ends.
    stop_store_saver();
    releaseOutputs();
    soundBackend().close();
    // One still running after that uses the network; the process ends without freeing it.
    if (!alone) return;
    release_shared_http();
    releasePhoneConnections();
    curl_global_cleanup();
}

void resetCoreState() {
    {
        auto g = lockPhone();
        g.state = PhoneState{};
    }
    // Atomics cannot be assigned as a whole; with no worker running, a fresh record in place.
    std::destroy_at(&phoneFlags());
    std::construct_at(&phoneFlags());
    reset_app_binding();
    resetPoller();
    resetRingerMemory();
    reset_identity_cache();
    reset_claim_memory();
    reset_spends_cache();
    reset_published_wallet();
    clearCapture();
}

}  // namespace dialo
