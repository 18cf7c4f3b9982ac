#pragma once
// A message left when nobody answers: recorded while `LeavingMessage`, sent as one "tape".

namespace dialo {

/// Sends the message recorded so far (at the 60-second limit, or when the caller hangs up
/// with `hungUp`). At most one tape per call goes out.
void leaveMessage(bool hungUp);

}  // namespace dialo
