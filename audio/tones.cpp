#include "audio/tones.h"

#include <cmath>
#include <mutex>

#include "audio/capture.h"
#include "audio/playback.h"
#include "base/clock.h"

namespace dialo {
namespace {

constexpr int kRate = 8000;
constexpr double kFullScale = 28000.0;
constexpr uint64_t kRingHoldOffMs = 1300;

std::mutex gBeepMutex;
std::function<void()> gBeep;

// One tone: `level` of full scale, `edge` of that over the first and last `edgeSamples`.
std::vector<int16_t> tone(size_t samples, double level, size_t edgeSamples, double edge, double (*wave)(double)) {
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i) {
        const double t = double(i) / kRate;
        const double e = (i < edgeSamples || i > samples - edgeSamples) ? edge : 1.0;
        out[i] = int16_t(wave(t) * level * e * kFullScale);
    }
    return out;
}

}  // namespace

std::vector<int16_t> ringTone() {
    return tone(8000, 0.25, 400, 0.3, [](double t) { return std::sin(2764.601532 * t) + std::sin(3015.928944 * t); });
}

void playRingTone() {
    setCaptureHoldOff(nowMs() + kRingHoldOffMs);
    if (!outputAvailable()) return systemBeep();
    enqueuePcm(ringTone());
}

std::vector<int16_t> messageBeep() {
    return tone(3600, 0.45, 200, 0.35, [](double t) { return std::sin(5529.203064 * t); });
}

void setSystemBeep(std::function<void()> beep) {
    std::lock_guard lock(gBeepMutex);
    gBeep = std::move(beep);
}

void systemBeep() {
    std::function<void()> beep;
    {
        std::lock_guard lock(gBeepMutex);
        beep = gBeep;
    }
    if (beep) beep();
}

}  // namespace dialo
