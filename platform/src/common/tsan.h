// W32P_TSAN is 1 in a ThreadSanitizer build. The sanitizer of our compilers
// does not intercept the monotonic-clock waits of glibc 2.30
// (pthread_mutex_clocklock, pthread_clockjoin_np, and the steady-clock
// try_lock_for of std::timed_mutex built on them): it would miss those
// acquisitions and joins and report races and unlocks that are not there.
// Such builds wait on the real-time clock instead, which the sanitizer
// understands; only a clock step during a timed wait tells them apart.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define W32P_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define W32P_TSAN 1
#endif
#endif
#ifndef W32P_TSAN
#define W32P_TSAN 0
#endif
