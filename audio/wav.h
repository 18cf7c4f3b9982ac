#pragma once
// WAV files as the phone reads and writes them: a microphone played from a file, what the
// phone plays written to a file, and messages exported for a user.

#include <cstdint>
#include <string>
#include <vector>

#include "audio/backend.h"
#include "base/bytes.h"

namespace dialo {

/// Reads a 16-bit PCM WAV of any rate and channel count as 8 kHz mono samples (channels
/// mixed, rate converted by linear interpolation). False with a one-line reason otherwise.
[[nodiscard]] bool readWavAs8kMono(const std::string& path, std::vector<int16_t>& out, std::string& error);
/// The same for a whole file already in memory.
[[nodiscard]] bool wavBytesAs8kMono(const std::string& file, std::vector<int16_t>& out, std::string& error);

/// The 44-byte (PCM) or 58-byte (float) header of a WAV holding `dataBytes` of `format`.
std::string wavHeader(const MixFormat& format, uint32_t dataBytes);

/// Writes 8 kHz 16-bit mono samples as a WAV file, replacing it whole.
[[nodiscard]] bool writeWav8k(const std::string& path, const std::vector<int16_t>& samples);

/// Writes a message's GSM 6.10 bytes, decoded, as an 8 kHz 16-bit WAV; answers its seconds, or a
/// negative number when the file could not be written.
[[nodiscard]] double exportMessageWav(const std::string& path, const Bytes& gsm);

}  // namespace dialo
