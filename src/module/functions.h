// The module's functions, in registration order.
#pragma once

#include <span>

#include "python.h"

namespace caustiqa::module {

// Function records (flags METH_FASTCALL | METH_STATIC | METH_KEYWORDS); each
// documentation string is the text signature followed by "\n--\n\n".
std::span<PyMethodDef> function_table() noexcept;

} // namespace caustiqa::module
