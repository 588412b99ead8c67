// PoolLostToFork: thrown in a child of fork() to the call that was waiting for
// the worker pool when the process forked. The child has none of the pool's
// threads, so the job it handed in can never finish.
#pragma once

namespace caustiqa::parallel {

struct PoolLostToFork {
    static constexpr const char* message = "the worker pool was lost to fork during this call";
};

} // namespace caustiqa::parallel
