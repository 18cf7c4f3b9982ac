#pragma once
// Voice-like 8 kHz: 220 and 1370 Hz (not the ring's) under a swell that never falls silent.
#include <cmath>
#include <cstdint>
#include <vector>
namespace dialo::test {
/// `seconds` of it, peaking near 10,000 times `level` (0: silence).
inline std::vector<int16_t> voiceSignal(double seconds, double level = 1.0) {
    std::vector<int16_t> out(size_t(seconds * 8000));
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / 8000;
        out[i] = int16_t(level * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * t)) *
                         (7000 * std::sin(2 * M_PI * 220 * t) + 3000 * std::sin(2 * M_PI * 1370 * t)));
    }
    return out;
}
}  // namespace dialo::test
