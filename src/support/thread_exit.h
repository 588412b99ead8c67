// ThreadExit: the unwinding with which the C library ends a thread
// (pthread_exit). Python 3.11 to 3.13 end their daemon threads this way when
// the interpreter exits, from inside whatever the thread was calling, so code
// on a call path into the interpreter must let it pass: no noexcept frame on
// the way, and every catch-all rethrows it.
#pragma once

#include <cxxabi.h>

namespace caustiqa {

using ThreadExit = abi::__forced_unwind;

} // namespace caustiqa
