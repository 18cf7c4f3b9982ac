#pragma once
// The desktop program's start-up and shutdown around its window.

namespace dialo {

/// Runs `dialo`: single instance, the phone core, the main window, the worker threads, the Qt
/// loop, then shutdown. Answers the process exit code.
int runDialo(int argc, char** argv);

}  // namespace dialo
