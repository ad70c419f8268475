// The compiler attributes the library uses, spelt once: printf-style format checks, the order
// of static objects, and the thread-safety annotations that clang's -Wthread-safety checks.
#pragma once

#if defined(__GNUC__)
// The function takes a printf format as argument fmt, its values from argument args on.
#define RL_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
// Lower numbers are built first and destroyed last, and all of them before the library's load
// hook runs.
#define RL_STATIC_ORDER(n) __attribute__((init_priority(100 + (n))))
#else
#define RL_PRINTF_FORMAT(fmt, args)
#define RL_STATIC_ORDER(n)
#endif

#if defined(__clang__)
#define RL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define RL_THREAD_ANNOTATION(x)
#endif

#define RL_CAPABILITY(name) RL_THREAD_ANNOTATION(capability(name))
#define RL_SCOPED_CAPABILITY RL_THREAD_ANNOTATION(scoped_lockable)
#define RL_GUARDED_BY(lock) RL_THREAD_ANNOTATION(guarded_by(lock))
#define RL_PT_GUARDED_BY(lock) RL_THREAD_ANNOTATION(pt_guarded_by(lock))
#define RL_ACQUIRE(...) RL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RL_TRY_ACQUIRE(...) RL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RL_RELEASE(...) RL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RL_REQUIRES(...) RL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define RL_EXCLUDES(...) RL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RL_NO_THREAD_SAFETY_ANALYSIS RL_THREAD_ANNOTATION(no_thread_safety_analysis)
