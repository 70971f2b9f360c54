// Clang's thread-safety attributes, by the names the code uses: which lock
// guards a field (GUARDED_BY), which a function needs held (REQUIRES) or
// must not hold (EXCLUDES), and what a lock or a guard does (ACQUIRE,
// RELEASE). The clang build checks them with -Wthread-safety, as errors;
// other compilers see nothing. Locks are base/mutex.h's Mutex, whose
// guards the analysis follows.
#pragma once

#if defined(__clang__)
#define VORLET_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VORLET_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VORLET_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VORLET_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VORLET_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VORLET_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VORLET_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VORLET_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VORLET_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VORLET_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VORLET_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VORLET_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VORLET_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS VORLET_THREAD_ANNOTATION(no_thread_safety_analysis)
