// Python results built from C++ values. A failure to allocate a float or a
// list is reported as unraisable and then thrown as a FatalFailure.
#pragma once

#include <span>
#include <vector>

#include "handle.h"

namespace caustiqa::module {

Ref build_float(double value);
Ref build_list(std::span<const double> values);
Ref build_list_of_lists(std::span<const std::vector<double>> rows);

} // namespace caustiqa::module
