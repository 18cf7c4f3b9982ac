#pragma once
// The wait before a stretch of the peer's voice starts to play. Chunks come over the network
// at uneven times, and a stretch that plays at once runs dry, and is heard to stop, whenever a
// chunk is late. Waiting a little at each start lets the later chunks be that much late
// unheard. The wait grows by each gap that a late chunk left and shrinks while chunks come in
// time, never past a chunk's own length or `kMaxPlayoutWaitMs`: it costs that much delay. What
// is queued beyond the wait is taken back out of the talker's pauses.

#include <cstdint>
#include <vector>

namespace dialo {

inline constexpr uint32_t kMaxPlayoutWaitMs = 240;

struct PlayoutBuffer {
    enum class Phase { Idle, Waiting, Playing } phase = Phase::Idle;
    uint32_t waitMs = 0;        // what a stretch's start waits now
    uint64_t playFromMs = 0;    // Waiting: the tick the stretch plays from
    uint64_t dryAtMs = 0;       // Idle: when the last stretch ran dry (0: none did)
    uint32_t lastLengthMs = 0;  // the chunk that arrived last
};

/// A chunk of `lengthMs` of voice arrived at the monotonic tick `nowMs`.
void playoutArrived(PlayoutBuffer& b, uint64_t nowMs, uint32_t lengthMs);

/// Whether queued voice may play at `nowMs`; the stretch that waited starts then.
bool playoutReleased(PlayoutBuffer& b, uint64_t nowMs);

/// Everything queued has been heard: the stretch that played ran dry at `nowMs`.
void playoutRanDry(PlayoutBuffer& b, uint64_t nowMs);

/// Takes quiet 20 ms frames (the phone's silence rule) out of 8 kHz voice, at most `budgetMs`
/// of them and only from inside a run of three or more, so that no word loses its edge; answers
/// the milliseconds taken. Late chunks leave the rest of a stretch as late as they were, since
/// playback runs on without gaps: taking out a little of each pause brings it back.
uint32_t dropQuietFrames(std::vector<int16_t>& samples, uint32_t budgetMs);

}  // namespace dialo
