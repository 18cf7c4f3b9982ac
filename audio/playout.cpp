#include "audio/playout.h"

#include <algorithm>

namespace dialo {
namespace {

constexpr uint32_t kShrinkMs = 2;  // per chunk that came while the one before still played

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

}  // namespace dialo
