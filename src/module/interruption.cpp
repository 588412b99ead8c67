#include "interruption.h"

namespace caustiqa::module {

bool Interruption::check_signals(void* self) {
    if (PyErr_CheckSignals() == 0) return false;
    static_cast<Interruption*>(self)->error_ = PendingError::fetch();
    return true;
}

} // namespace caustiqa::module
