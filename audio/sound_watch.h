#pragma once
// Keeps the phone's sound following the world outside it: a sound server that went away is
// reached again (it may start after the phone, or restart under it), and the output and
// microphone chosen in the settings (which a handle switch loads) are the ones in use.

namespace dialo {

/// One look, for a worker to call every 100 ms or so. While the server is away it tries to
/// reach it every 2 seconds, blocking only its caller; the status line says when sound goes
/// and when it is back.
void soundWatchStep();

}  // namespace dialo
