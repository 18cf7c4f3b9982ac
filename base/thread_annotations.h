#pragma once
// Clang's thread-safety attributes: who must hold which lock, said so that `-Wthread-safety`
// checks it at compile time. Other compilers see nothing.

#if defined(__clang__)
#define DIALO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DIALO_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) DIALO_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY DIALO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(lock) DIALO_THREAD_ANNOTATION(guarded_by(lock))
#define REQUIRES(...) DIALO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) DIALO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) DIALO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) DIALO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS DIALO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace dialo {

/// The name the analysis knows a lock by, where the mutex itself stays private to the file
/// that owns it: `lockX()` is ACQUIRE(name), its guard's destructor RELEASE(name), and a
/// function that needs the lock REQUIRES(name).
class CAPABILITY("mutex") LockName {
public:
    LockName() = default;
    LockName(const LockName&) = delete;
    LockName& operator=(const LockName&) = delete;
};

}  // namespace dialo
