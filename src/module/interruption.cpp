#include "interruption.h"

namespace caustiqa::module {

bool Interruption::check_signals(void* context) {
    auto* self = static_cast<Interruption*>(context);
    if (PyErr_CheckSignals() == 0) return false;
    self->error_ = PendingError::fetch();
    return true;
}

} // namespace caustiqa::module
