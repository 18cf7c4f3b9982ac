// The backend in use, and the one for a machine without sound: no microphone, no devices.

#include "audio/backend.h"

#include <atomic>

namespace dialo {
namespace {

bool noneOpen(std::string&) { return true; }
void noneClose() {}
bool noneCapture(CaptureSink, const std::string&) { return false; }
bool noneConnected() { return true; }
std::vector<SinkInfo> noneSinks() { return {}; }
RenderStream* noneRender(const std::string&, MixFormat&) { return nullptr; }
void noneCloseRender(RenderStream*) {}
int64_t noneFrames(RenderStream*) { return -1; }
bool noneWrite(RenderStream*, const uint8_t*, size_t) { return false; }
void nonePause(RenderStream*, bool) {}
void noneStop() {}

const SoundBackend kNone{"none",          noneOpen,   noneClose,  noneCapture, noneSinks, noneRender,
                         noneCloseRender, noneFrames, noneWrite,  noneFrames,  nonePause, noneCloseRender,
                         noneSinks,       noneConnected, noneStop};

std::atomic<const SoundBackend*> gBackend{&kNone};

}  // namespace

const SoundBackend& noneBackend() { return kNone; }
const SoundBackend& soundBackend() { return *gBackend.load(); }
void setSoundBackend(const SoundBackend& backend) { gBackend = &backend; }

}  // namespace dialo
