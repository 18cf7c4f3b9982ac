#include "app/workers.h"

#include <mutex>
#include <exception>
#include <thread>
#include <vector>

#include "audio/playback.h"
#include "audio/sound_watch.h"
#include "base/clock.h"
#include "call/background.h"
#include "call/dispatch.h"
#include "call/live_sender.h"
#include "call/poller.h"
#include "call/push.h"
#include "state/phone_state.h"
#include "wallet/binding.h"

namespace dialo {
namespace {

std::mutex gWorkersMutex;
std::vector<std::thread> gWorkers;

bool running() { return phoneFlags().running.load(); }

// Fetches raw transactions whose payload could not be read from their JSON.
void fetchWorker() {
    while (running())
        if (!rawFetchStep()) sleepMs(150);
}

// Feeds queued sound to the output device.
void playbackPump() {
    while (running()) {
        playbackStep();
        sleepMs(20);
    }
}

// Reaches a sound server that went away, and follows the devices chosen in the settings.
void soundWatcher() {
    while (running()) {
        soundWatchStep();
        sleepMs(100);
    }
}

void joinAll(std::vector<std::thread>& threads) {
    for (std::thread& t : threads)
        if (t.joinable()) t.join();
    threads.clear();
}

}  // namespace

bool startWorkers() {
    std::lock_guard<std::mutex> lock(gWorkersMutex);
    phoneFlags().running = true;
    setPayloadHandler(handlePayload);
    try {
        for (void (*body)() : {backgroundLoop, pushWorker, fetchWorker, liveSenderLoop, playbackPump, soundWatcher})
            gWorkers.emplace_back(body);
    } catch (const std::exception&) {  // thread creation or its bookkeeping failed
        phoneFlags().running = false;
        joinAll(gWorkers);
        return false;
    }
    return true;
}

void stopWorkers() {
    phoneFlags().running = false;
    std::lock_guard<std::mutex> lock(gWorkersMutex);
    joinAll(gWorkers);
}

}  // namespace dialo
