#include "audio/pcm.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace dialo {
namespace {

int16_t sampleAt(const Bytes& pcm, size_t i) { return int16_t(uint16_t(pcm[2 * i] | pcm[2 * i + 1] << 8)); }

void putLe(uint8_t* at, uint32_t v, int bytes) {
    for (int b = 0; b < bytes; ++b) at[b] = uint8_t(v >> (8 * b));
}

}  // namespace

void applyVolume(int16_t* samples, size_t count, int volume) {
    if (volume == 100) return;
    for (size_t i = 0; i < count; ++i)
        samples[i] = int16_t(std::clamp<int32_t>(int32_t(samples[i]) * volume / 100, -32768, 32767));
}

bool isSilent(const Bytes& pcm) {
    if (pcm.size() < 2) return true;
    const size_t n = pcm.size() / 2;
    int64_t sum = 0;
    for (size_t i = 0; i < n; i += 8) sum += std::abs(int32_t(sampleAt(pcm, i)));
    const int64_t count = int64_t((n - 1) / 8) + 1;
    return sum / count < 180;
}

double goertzelPower(const int16_t* samples, double frequency) {
    const double c = 2 * std::cos(frequency * 6.2831853 / 8000);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < 2000; ++i) {
        const double s = samples[i] + c * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

bool holdsRingTone(const Bytes& second) {
    const std::vector<int16_t> x = samplesOf(second);
    if (x.size() < 8000) return false;
    int windows = 0;
    for (size_t w = 0; w < 4; ++w) {
        const int16_t* win = x.data() + w * 2000;
        int64_t energy = 0;
        for (size_t i = 0; i < 2000; i += 4) energy += std::abs(int32_t(win[i]));
        if (energy < 250000) continue;
        const double p440 = goertzelPower(win, 440), p480 = goertzelPower(win, 480);
        const double ref = std::max(1.0, goertzelPower(win, 200) + goertzelPower(win, 700) +
                                             goertzelPower(win, 1200) + goertzelPower(win, 2000));
        // Both lines, with a gap between them: a voice whose harmonic or glide lands near one of
        // them fills the band between as well, and must not be cut from a message.
        const double between = goertzelPower(win, 460);
        if (p480 + p440 > 6 * ref && p440 > ref && p480 > ref && 10 * between < std::min(p440, p480)) ++windows;
    }
    return windows >= 2;
}

Bytes convertForOutput(const MixFormat& format, const Bytes& pcm) {
    const size_t n = pcm.size() / 2;
    if (n == 0 || format.rate < 1 || format.channels < 1 || format.blockAlign < 1) return {};
    const size_t m = std::max<size_t>(1, size_t(uint64_t(format.rate) * n / 8000));
    Bytes out(m * format.blockAlign, 0);
    const uint32_t bytesPerSample = format.blockAlign / format.channels;
    for (size_t i = 0; i < m; ++i) {
        const double p = double(i) * 8000.0 / format.rate;
        const size_t k = std::min(size_t(p), n - 1);
        const double f = p - std::floor(p);
        const double next = k + 1 < n ? sampleAt(pcm, k + 1) : sampleAt(pcm, k);
        const double value = std::clamp(sampleAt(pcm, k) * (1 - f) + next * f, -32768.0, 32767.0);
        for (uint32_t c = 0; c < format.channels; ++c) {
            uint8_t* at = out.data() + (size_t(format.channels) * i + c) * bytesPerSample;
            if (bytesPerSample >= 4 && format.isFloat) {
                const float v = float(value / 32768.0);
                std::memcpy(at, &v, 4);
            } else if (bytesPerSample >= 4) {
                putLe(at, uint32_t(int32_t(value * 65536)), 4);
            } else if (bytesPerSample == 3) {
                putLe(at, uint32_t(int32_t(value) * 256), 3);  // packed 24-bit: the value in the upper two bytes
            } else if (bytesPerSample == 2) {
                putLe(at, uint32_t(int32_t(value)), 2);
            }
        }
    }
    return out;
}

std::vector<int16_t> samplesOf(const Bytes& pcm) {
    std::vector<int16_t> out(pcm.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = sampleAt(pcm, i);
    return out;
}

Bytes bytesOf(const std::vector<int16_t>& samples) {
    Bytes out(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) putLe(out.data() + 2 * i, uint16_t(samples[i]), 2);
    return out;
}

}  // namespace dialo
