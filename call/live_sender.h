#pragma once
// Live voice: while two phones talk, the microphone's voiced sound goes out in short chunks,
// one "audio" event each; while a caller leaves a message, it is recorded for the tape.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace dialo {

/// One live chunk sent to the peer or played from the peer, for a front end that reports them.
struct VoiceTrace {
    enum Kind { Sent, Played } kind;
    int64_t n;         // the chunk's number
    size_t gsmBytes;
    int64_t unixMs;    // when it was sent (the send returned) or queued to play
};

/// Installs (or, empty, removes) the receiver of voice traces; it is called on the sending or
/// dispatching thread and must return at once.
void setVoiceTrace(std::function<void(const VoiceTrace&)> trace);
void traceVoice(const VoiceTrace& trace);

/// What a minute of talk costs one side at a live chunk length: chunks (transactions) and
/// satoshis (the peer's and the event fee's satoshi and the miner fee of each chunk).
struct LiveCost {
    int64_t chunks = 0;
    int64_t sats = 0;
};
LiveCost liveCostPerMinute(uint32_t chunkMs);

/// Coins the wallet keeps ready for calls at a live chunk length: one per chunk of a minute and
/// a half of talk, and never fewer than 120, so that short chunks do not run a call onto chains
/// of unconfirmed change.
int readyCoinTarget(uint32_t chunkMs);

/// The live sender thread's body: one cycle every 40 ms while the phone runs.
void liveSenderLoop();

}  // namespace dialo
