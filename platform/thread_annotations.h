// Annotations for clang's thread-safety analysis (-Wthread-safety): which
// lock guards a field, which locks a function needs or must not hold, and
// which functions take or release a lock. Other compilers see nothing.
//
// The analysis follows a lock through one function; where a lock is handed
// from one path to another (taken in one function, released in another that
// it calls back), the spot says why and opts out with
// KVX_NO_THREAD_SAFETY_ANALYSIS.
#pragma once

#if defined(__clang__)
#define KVX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KVX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KVX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KVX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KVX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KVX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KVX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KVX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KVX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KVX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KVX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KVX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KVX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KVX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KVX_THREAD_ANNOTATION(lock_returned(x))
#define KVX_NO_THREAD_SAFETY_ANALYSIS KVX_THREAD_ANNOTATION(no_thread_safety_analysis)
