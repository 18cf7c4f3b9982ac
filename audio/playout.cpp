#include "audio/playout.h"

#include <algorithm>
#include <cstdlib>

namespace dialo {
namespace {

constexpr uint32_t kShrinkMs = 10;  // per chunk that came while the one before still played
constexpr size_t kFrameSamples = 160;  // 20 ms
constexpr int64_t kQuietMean = 180;    // the mean magnitude below which the phone calls sound silence

bool quiet(const int16_t* frame) {
    int64_t sum = 0;
    for (size_t i = 0; i < kFrameSamples; ++i) sum += std::abs(int32_t(frame[i]));
    return sum / int64_t(kFrameSamples) < kQuietMean;
}

}  // namespace

void playoutArrived(PlayoutBuffer& b, uint64_t nowMs, uint32_t lengthMs) {
    switch (b.phase) {
    case PlayoutBuffer::Phase::Idle: {
        // A talker's pause leaves the queue dry for about a chunk's length or more; a late chunk
        // mid-stretch leaves a shorter gap, and that much more wait would have hidden it.
        const uint64_t gap = b.dryAtMs > 0 ? nowMs - b.dryAtMs : UINT64_MAX;
        if (gap < b.lastLengthMs / 2)
            b.waitMs = uint32_t(std::min<uint64_t>({b.waitMs + gap, kMaxPlayoutWaitMs, lengthMs}));
        b.phase = PlayoutBuffer::Phase::Waiting;
        b.playFromMs = nowMs + b.waitMs;
        break;
    }
    case PlayoutBuffer::Phase::Waiting:
        break;
    case PlayoutBuffer::Phase::Playing:
        b.waitMs -= std::min(b.waitMs, kShrinkMs);
        break;
    }
    b.lastLengthMs = lengthMs;
}

bool playoutReleased(PlayoutBuffer& b, uint64_t nowMs) {
    if (b.phase == PlayoutBuffer::Phase::Waiting && nowMs >= b.playFromMs) b.phase = PlayoutBuffer::Phase::Playing;
    return b.phase == PlayoutBuffer::Phase::Playing;
}

void playoutRanDry(PlayoutBuffer& b, uint64_t nowMs) {
    if (b.phase != PlayoutBuffer::Phase::Playing) return;
    b.phase = PlayoutBuffer::Phase::Idle;
    b.dryAtMs = nowMs;
}

uint32_t dropQuietFrames(std::vector<int16_t>& samples, uint32_t budgetMs) {
    const size_t frames = samples.size() / kFrameSamples;
    size_t budget = budgetMs / 20;
    if (frames < 3 || budget == 0) return 0;
    std::vector<bool> q(frames);
    for (size_t f = 0; f < frames; ++f) q[f] = quiet(samples.data() + f * kFrameSamples);
    std::vector<int16_t> kept;
    kept.reserve(samples.size());
    size_t dropped = 0;
    for (size_t f = 0; f < frames; ++f) {
        const bool inner = f > 0 && f + 1 < frames && q[f - 1] && q[f] && q[f + 1];
        if (inner && dropped < budget) {
            ++dropped;
            continue;
        }
        kept.insert(kept.end(), samples.begin() + long(f * kFrameSamples), samples.begin() + long((f + 1) * kFrameSamples));
    }
    kept.insert(kept.end(), samples.begin() + long(frames * kFrameSamples), samples.end());
    samples = std::move(kept);
    return uint32_t(dropped * 20);
}

}  // namespace dialo
