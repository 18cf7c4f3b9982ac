#pragma once
// GSM 6.10 as peers exchange it: 65-byte blocks of two 160-sample frames (320 samples, 40 ms
// at 8 kHz), byte for byte the WAVE format 0x0031 layout. PCM is signed 16-bit little-endian.

#include <vector>

#include "base/bytes.h"

namespace dialo {

inline constexpr size_t kPcmBlockBytes = 640;    // 320 samples
inline constexpr size_t kGsmBlockBytes = 65;
inline constexpr size_t kGsmBytesPerSecond = 1625;
inline constexpr size_t kPcmSecondBytes = 16000;

/// Encodes whole 640-byte PCM blocks (a trailing part-block is ignored). One encoder state
/// runs on from call to call, as one stream; `newStream` starts it afresh first, as a receiver
/// decodes every live chunk and every message from a fresh state (out of step, a steady sound
/// decodes as noise).
Bytes gsmEncode(const Bytes& pcm, bool newStream = false);

/// Decodes whole 65-byte blocks with a fresh decoder, in PCM chunks of at most one second.
std::vector<Bytes> gsmDecode(const Bytes& gsm);

}  // namespace dialo
