// ThreadExit: the unwinding with which the C library ends a thread
// (pthread_exit). Python 3.11 to 3.13 end their daemon threads this way when
// the interpreter exits, from inside whatever the thread was calling, so code
// on a call path into the interpreter must let it pass: no noexcept frame on
// the way, and every catch-all rethrows it. libc++'s runtime (libc++abi)
// cannot rethrow it from a catch-all, so with libc++ on Linux such a thread
// ends the process; macOS's pthread_exit does not unwind, and Python 3.14
// no longer ends threads this way.
#pragma once

#include <version> // names the C++ library: __GLIBCXX__ for libstdc++

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace caustiqa {

#if defined(__GLIBCXX__)
using ThreadExit = abi::__forced_unwind;
#else
// Only libstdc++'s runtime gives that unwinding a type; never thrown here.
struct ThreadExit {};
#endif

} // namespace caustiqa
