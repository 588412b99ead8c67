#include "interruption.h"

namespace caustiqa::module {

bool Interruption::check_signals(void* context) {
    auto* self = static_cast<Interruption*>(context);
    if (PyErr_CheckSignals() == 0) {
        if (self->work_ != nullptr) self->work_(self->work_context_);
        return false;
    }
    self->error_ = PendingError::fetch();
    return true;
}

} // namespace caustiqa::module
