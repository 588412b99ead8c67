// Python results built from C++ values. A failure to allocate a float or a
// list is reported as unraisable and then thrown as a FatalFailure. Building
// a long list polls `interruption` and gives a null Ref once it says to stop.
#pragma once

#include <span>
#include <vector>

#include "handle.h"
#include "interruption.h"

namespace caustiqa::module {

Ref build_float(double value);
Ref build_list(std::span<const double> values, Interruption& interruption);
Ref build_list_of_lists(std::span<const std::vector<double>> rows, Interruption& interruption);

} // namespace caustiqa::module
