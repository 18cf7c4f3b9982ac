#pragma once
// The body of a command-line tool's main(): an exception ends it with a line, not an abort.

#include <exception>

namespace dialo {

/// run(argc, argv); an exception it throws is handed to fail as text instead, whose answer is
/// then the exit code.
template <class Run, class Fail>
int runGuarded(Run run, Fail fail, int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        return fail(e.what());
    } catch (...) {
        return fail("unexpected failure");
    }
}

}  // namespace dialo
