// Clang's thread-safety attributes: a member says which mutex guards it and a
// function which mutex it needs or takes, and a -Wthread-safety build checks
// every access. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define VY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VY_THREAD_ANNOTATION(x)
#endif

// A type that is a lock (a mutex).
#define CAPABILITY(x) VY_THREAD_ANNOTATION(capability(x))
// A type that holds a lock for its lifetime (a scoped lock).
#define SCOPED_CAPABILITY VY_THREAD_ANNOTATION(scoped_lockable)
// The member is read and written only with the mutex held.
#define GUARDED_BY(x) VY_THREAD_ANNOTATION(guarded_by(x))
// What the pointer points to is read and written only with the mutex held.
#define PT_GUARDED_BY(x) VY_THREAD_ANNOTATION(pt_guarded_by(x))
// The caller holds the mutex.
#define REQUIRES(...) VY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the mutex (the function takes it).
#define EXCLUDES(...) VY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes the mutex and returns with it held.
#define ACQUIRE(...) VY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases the mutex.
#define RELEASE(...) VY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function returns the mutex (so that callers can name it).
#define RETURN_CAPABILITY(x) VY_THREAD_ANNOTATION(lock_returned(x))
// The analysis is not able to follow this function (say why where it is used).
#define NO_THREAD_SAFETY_ANALYSIS VY_THREAD_ANNOTATION(no_thread_safety_analysis)
