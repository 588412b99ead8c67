// _caustiqa_probe: a test-only extension that drives the module's boundary
// and worker pool through paths the eight public functions cannot reach,
// such as a fatal failure raised inside a nested parallel map on a worker.
#include <numeric>
#include <string>
#include <vector>

#include "module/boundary.h"
#include "module/results.h"
#include "parallel/parallel_map.h"

namespace {

using namespace caustiqa;

constexpr module::ArgumentSpec<2> nested_map_spec{"nested_map", {"n", "failing"}};

// nested_map(n, failing) -> list[float]: an n x n grid mapped as n rows of a
// nested map, element (i, j) = i * n + j; returns the row sums. The element
// whose value equals `failing` raises a fatal failure on whichever thread
// evaluates it (pass a negative value for none).
module::CallOutcome nested_map(const module::BoundArguments<2>& args) {
    double size, failing;
    if (auto e = args.to_double(0, size)) return std::move(*e);
    if (auto e = args.to_double(1, failing)) return std::move(*e);
    // A double outside [0, 4096] (or NaN) would not convert to a size.
    if (!(size >= 0 && size <= 4096)) {
        return module::PendingError::deferred(PyExc_ValueError, "n must be in [0, 4096]");
    }
    const auto n = static_cast<std::size_t>(size);
    std::vector<double> indices(n);
    std::iota(indices.begin(), indices.end(), 0.0);
    std::vector<double> sums;
    parallel::parallel_map(
        std::span<const double>(indices),
        [&](double row) {
            std::vector<double> cells;
            parallel::parallel_map(
                std::span<const double>(indices),
                [&](double column) {
                    const double value = row * static_cast<double>(n) + column;
                    if (value == failing) {
                        fail("probe: element " + std::to_string(static_cast<long>(value)) +
                             " failed");
                    }
                    return value;
                },
                cells);
            return std::accumulate(cells.begin(), cells.end(), 0.0);
        },
        sums);
    return module::build_list(sums, &args.interruption());
}

PyObject* nested_map_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return module::run_call(nested_map_spec, args, nargs, kwnames, nested_map);
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
constexpr FastCall nested_map_function = &nested_map_entry;

PyMethodDef methods[] = {
    {"nested_map", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(nested_map_function)),
     METH_FASTCALL | METH_KEYWORDS, "nested_map(n, failing)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_caustiqa_probe",
    "Test-only probe of the caustiqa boundary.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__caustiqa_probe() {
    return PyModuleDef_Init(&definition);
}
