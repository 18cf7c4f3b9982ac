#pragma once
// Arithmetic on 8 kHz 16-bit mono sound: the volume setting, the silence and ring-tone tests
// of the recorder, and conversion to an output device's own format.

#include <cstdint>
#include <vector>

#include "audio/backend.h"
#include "base/bytes.h"

namespace dialo {

/// Scales samples by `volume` per cent (truncating toward zero) and clips them to 16 bits.
void applyVolume(int16_t* samples, size_t count, int volume);

/// Fewer than 2 bytes, or a mean magnitude of every 8th sample below 180.
bool isSilent(const Bytes& pcm);

/// Goertzel power of `frequency` (Hz) over the first 2000 samples at `samples`.
double goertzelPower(const int16_t* samples, double frequency);

/// True when at least 2 of the second's four 2000-sample windows hold a loud 440 + 480 Hz
/// tone: the phone's own ring, which a message must not record.
bool holdsRingTone(const Bytes& second);

/// 8 kHz mono PCM as frames of the output format, by linear interpolation; every channel gets
/// the same value. Empty for empty input or a format with no rate, channels or frame size.
Bytes convertForOutput(const MixFormat& format, const Bytes& pcm);

/// PCM bytes (little-endian) and samples.
std::vector<int16_t> samplesOf(const Bytes& pcm);
Bytes bytesOf(const std::vector<int16_t>& samples);

}  // namespace dialo
