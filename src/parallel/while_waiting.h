// WhileWaiting: work that a thread outside the pool does while it waits for a
// job it handed to the pool, between its looks at the job (for example,
// creating the result objects of elements already finished).
#pragma once

namespace caustiqa::parallel {

class WhileWaiting {
public:
    // Nothing to do.
    WhileWaiting() noexcept = default;
    // Calls work() each time; `work` must outlive the wait.
    template <class Work>
    explicit WhileWaiting(Work& work) noexcept
        : run_([](void* w) { (*static_cast<Work*>(w))(); }), work_(&work) {}

    // May run code of the caller's, and so may throw or unwind.
    void operator()() const {
        if (run_ != nullptr) run_(work_);
    }

private:
    void (*run_)(void*) = nullptr;
    void* work_ = nullptr;
};

} // namespace caustiqa::parallel
