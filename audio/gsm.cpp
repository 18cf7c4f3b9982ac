#include "audio/gsm.h"

#include <gsm.h>

#include <memory>
#include <mutex>

namespace dialo {
namespace {

constexpr size_t kFrameSamples = 160;
constexpr size_t kBlocksPerSecond = 25;
constexpr int kFirstHalfBytes = 32;   // the encoder's first frame; the decoder reads 33
constexpr int kDecodeFirstBytes = 33;

struct GsmFree {
    void operator()(gsm g) const { gsm_destroy(g); }
};
using GsmHandle = std::unique_ptr<gsm_state, GsmFree>;

GsmHandle makeWav49() {
    GsmHandle g(gsm_create());
    int on = 1;
    if (g && gsm_option(g.get(), GSM_OPT_WAV49, &on) < 0) g.reset();
    return g;
}

std::mutex gCodecMutex;
GsmHandle gEncoder;  // guarded by gCodecMutex; made on first use

void samplesOf(const uint8_t* pcm, gsm_signal* out) {
    for (size_t i = 0; i < kFrameSamples; ++i) out[i] = gsm_signal(int16_t(uint16_t(pcm[2 * i] | (pcm[2 * i + 1] << 8))));
}

void appendSamples(const gsm_signal* in, Bytes& out) {
    for (size_t i = 0; i < kFrameSamples; ++i) {
        const uint16_t v = uint16_t(in[i]);
        out.push_back(uint8_t(v & 0xff));
        out.push_back(uint8_t(v >> 8));
    }
}

}  // namespace

Bytes gsmEncode(const Bytes& pcm, bool newStream) {
    const size_t blocks = pcm.size() / kPcmBlockBytes;
    Bytes out;
    std::lock_guard lock(gCodecMutex);
    if (!gEncoder || newStream) gEncoder = makeWav49();
    if (!gEncoder || blocks == 0) return out;
    out.resize(blocks * kGsmBlockBytes);
    gsm_signal frame[kFrameSamples];
    for (size_t b = 0; b < blocks; ++b) {
        const uint8_t* in = pcm.data() + b * kPcmBlockBytes;
        uint8_t* block = out.data() + b * kGsmBlockBytes;
        samplesOf(in, frame);
        gsm_encode(gEncoder.get(), frame, block);
        samplesOf(in + kFrameSamples * 2, frame);
        gsm_encode(gEncoder.get(), frame, block + kFirstHalfBytes);
    }
    return out;
}

std::vector<Bytes> gsmDecode(const Bytes& gsm) {
    std::vector<Bytes> chunks;
    const size_t blocks = gsm.size() / kGsmBlockBytes;
    if (blocks == 0) return chunks;
    std::lock_guard lock(gCodecMutex);
    GsmHandle decoder = makeWav49();
    if (!decoder) return chunks;
    gsm_signal frame[kFrameSamples];
    Bytes chunk;
    for (size_t b = 0; b < blocks; ++b) {
        // The library takes its input as writable bytes but does not change them.
        auto* block = const_cast<uint8_t*>(gsm.data() + b * kGsmBlockBytes);
        if (gsm_decode(decoder.get(), block, frame) < 0) break;
        appendSamples(frame, chunk);
        if (gsm_decode(decoder.get(), block + kDecodeFirstBytes, frame) < 0) break;
        appendSamples(frame, chunk);
        if (chunk.size() >= kBlocksPerSecond * kPcmBlockBytes) {
            chunks.push_back(std::move(chunk));
            chunk.clear();
        }
    }
    if (!chunk.empty()) chunks.push_back(std::move(chunk));
    return chunks;
}

}  // namespace dialo
