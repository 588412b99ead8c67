#include "functions.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "boundary.h"
#include "lanes/paths.h"
#include "lensing/arrays/disc_maps.h"
#include "lensing/kernels/thin_ring.h"
#include "lensing/sources/discrete_rings.h"
#include "lensing/sources/flux_map.h"
#include "lensing/sources/limb_darkening.h"
#include "parallel/thread_count.h"
#include "parallel/worker_pool.h"
#include "results.h"

namespace caustiqa::module {
namespace {

using Args3 = BoundArguments<3>;
using Args4 = BoundArguments<4>;
using Args5 = BoundArguments<5>;

PendingError computation_error(const char* message) noexcept {
    return PendingError::deferred(PyExc_RuntimeError, message);
}

// Creates the process-wide worker pool, if it does not exist yet, without
// holding the interpreter lock (other threads may run Python meanwhile). Its
// size is read from the environment before the lock is let go: Python code
// changes the environment (os.environ) only while it holds that lock.
void ensure_worker_pool() {
    if (parallel::WorkerPool::global_exists()) return;
    const std::size_t threads = parallel::configured_thread_count();
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        parallel::WorkerPool::global(threads);
    } catch (...) { // no Python code runs here: nothing to let pass
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
}

// Items per block of results created while the pool computes: a few
// microseconds of work for the map per block, and few enough blocks that
// their counters cost nothing.
constexpr std::size_t result_block = 4096;

// The results of a map on the worker pool, `map(values, progress,
// while_waiting)` filling `values` (length items of type T). A long map
// reports its finished blocks of `block` items to `progress`, and the calling
// thread, which holds the interpreter lock and would otherwise only wait,
// creates their result objects in `while_waiting`; a short one is over before
// that would help, and its results are created afterwards. A stop or a
// failure leaves no result; the items already created are released after the
// call has returned, so that Ctrl-C is not kept waiting for them.
template <class T, class Map>
CallOutcome pooled_results(Interruption& interruption, std::size_t length, std::size_t block,
                           Map&& map) {
    // The C++ side first: when memory is short, its std::bad_alloc gives a
    // MemoryError, while a failed list is a fatal failure.
    std::vector<T> values;
    values.reserve(length);
    if (length < 2 * block) {
        map(values, nullptr, parallel::WhileWaiting{});
        if (interruption.cancellation().requested()) return Ref();
        ListInProgress list(length);
        if (!list.fill(std::span<const T>(values), length, &interruption)) return Ref();
        return list.take();
    }
    parallel::BlockProgress progress(length, block);
    ListInProgress list(length);
    // Behind the workers, this may create millions of floats at once: it
    // asks for signals as it goes, as the final fill does.
    auto create_finished = [&] {
        list.fill(std::span<const T>(values), progress.ready(), &interruption);
    };
    map(values, &progress, parallel::WhileWaiting(create_finished));
    if (interruption.cancellation().requested() ||
        !list.fill(std::span<const T>(values), values.size(), &interruption)) {
        std::move(list).release_after_return();
        return Ref();
    }
    return list.take();
}

// The arguments (l sequence, re float, rstar float), converted in this order.
struct SeparationArguments {
    std::vector<double> l;
    double re = 0, rstar = 0;
};

std::optional<PendingError> convert_separations(const Args3& args, SeparationArguments& out) {
    if (auto e = args.to_sequence(0, out.l)) return e;
    if (auto e = args.to_double(1, out.re)) return e;
    return args.to_double(2, out.rstar);
}

// A function of (l sequence, re float, rstar float) returning one value per
// separation, on the calling thread.
template <std::vector<double> (*Compute)(std::span<const double>, double, double, Cancellation&)>
CallOutcome separations_re_rstar(const Args3& args) {
    SeparationArguments a;
    if (auto e = convert_separations(args, a)) return std::move(*e);
    const std::vector<double> values = Compute(a.l, a.re, a.rstar, args.cancellation());
    if (args.cancellation().requested()) return Ref();
    return build_list(values, &args.interruption());
}

// --- witt_mao_magnification(l, re, rstar) -> list[float]

constexpr ArgumentSpec<3> witt_mao_signature{"witt_mao_magnification", {"l", "re", "rstar"}};

CallOutcome witt_mao(const Args3& args) {
    SeparationArguments a;
    if (auto e = convert_separations(args, a)) return std::move(*e);
    ensure_worker_pool();
    return pooled_results<double>(
        args.interruption(), a.l.size(), result_block,
        [&](std::vector<double>& values, parallel::BlockProgress* progress,
            parallel::WhileWaiting while_waiting) {
            lensing::witt_mao_magnification(a.l, a.re, a.rstar, values, args.cancellation(),
                                            progress, while_waiting);
        });
}

// --- multi_witt_mao_magnification(l, re, rstar) -> list[list[float]]

constexpr ArgumentSpec<3> multi_witt_mao_signature{"multi_witt_mao_magnification",
                                                   {"l", "re", "rstar"}};

CallOutcome multi_witt_mao(const Args3& args) {
    std::vector<double> l, re, rstar;
    if (auto e = args.to_sequence(0, l)) return std::move(*e);
    if (auto e = args.to_sequence(1, re)) return std::move(*e);
    if (auto e = args.to_sequence(2, rstar)) return std::move(*e);
    ensure_worker_pool();
    // Blocks of about result_block floats (at least one combination).
    const std::size_t block =
        std::max<std::size_t>(1, result_block / std::max<std::size_t>(1, l.size()));
    return pooled_results<std::vector<double>>(
        args.interruption(), re.size() * rstar.size(), block,
        [&](std::vector<std::vector<double>>& values, parallel::BlockProgress* progress,
            parallel::WhileWaiting while_waiting) {
            lensing::multi_witt_mao_magnification(l, re, rstar, values, args.cancellation(),
                                                  progress, while_waiting);
        });
}

// --- heyrovsky_magnification(l, r, re, rstar) -> float

constexpr ArgumentSpec<4> heyrovsky_signature{"heyrovsky_magnification", {"l", "r", "re", "rstar"}};

CallOutcome heyrovsky(const Args4& args) {
    double l, r, re, rstar;
    if (auto e = args.to_double(0, l)) return std::move(*e);
    if (auto e = args.to_double(1, r)) return std::move(*e);
    if (auto e = args.to_double(2, re)) return std::move(*e);
    if (auto e = args.to_double(3, rstar)) return std::move(*e);
    const special::ValueOrError ring = lensing::thin_ring_magnification(l, r, re, rstar);
    if (ring.is_error()) return computation_error(ring.error());
    return build_float(ring.value());
}

// --- integrated_heyrovsky_magnification(l, re, rstar) -> list[float]
// --- integrated_witt_mao_magnification(l, re, rstar) -> list[float]

constexpr ArgumentSpec<3> integrated_heyrovsky_signature{"integrated_heyrovsky_magnification",
                                                         {"l", "re", "rstar"}};
constexpr ArgumentSpec<3> integrated_witt_mao_signature{"integrated_witt_mao_magnification",
                                                        {"l", "re", "rstar"}};

// --- integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf) -> list[float]
// --- integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf) -> list[float]

constexpr ArgumentSpec<5> flux_map_witt_mao_signature{"integrated_flux_map_witt_mao_magnification",
                                                      {"l", "re", "rstar", "bl", "bf"}};
constexpr ArgumentSpec<5> flux_map_heyrovsky_signature{
    "integrated_flux_map_heyrovsky_magnification", {"l", "re", "rstar", "bl", "bf"}};

// The five arguments of the flux-map functions, converted in parameter order.
struct FluxMapArguments {
    std::vector<double> l, bl, bf;
    double re = 0, rstar = 0;
};

std::optional<PendingError> convert_flux_map(const Args5& args, FluxMapArguments& out) {
    if (auto e = args.to_sequence(0, out.l)) return e;
    if (auto e = args.to_double(1, out.re)) return e;
    if (auto e = args.to_double(2, out.rstar)) return e;
    if (auto e = args.to_sequence(3, out.bl)) return e;
    return args.to_sequence(4, out.bf);
}

template <std::vector<double> (*Compute)(std::span<const double>, double, double,
                                         std::span<const double>, std::span<const double>,
                                         Cancellation&)>
CallOutcome flux_map(const Args5& args) {
    FluxMapArguments a;
    if (auto e = convert_flux_map(args, a)) return std::move(*e);
    const std::vector<double> values = Compute(a.l, a.re, a.rstar, a.bl, a.bf, args.cancellation());
    if (args.cancellation().requested()) return Ref();
    return build_list(values, &args.interruption());
}

// --- discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf) -> list[float]

constexpr ArgumentSpec<5> discrete_signature{"discrete_flux_map_heyrovsky_magnification",
                                             {"l", "re", "rstar", "bl", "bf"}};

CallOutcome discrete_flux_map(const Args5& args) {
    FluxMapArguments a;
    if (auto e = convert_flux_map(args, a)) return std::move(*e);
    const lensing::RingSums sums = lensing::discrete_flux_map_heyrovsky_magnification(
        a.l, a.re, a.rstar, a.bl, a.bf, args.cancellation());
    if (args.cancellation().requested()) return Ref();
    if (sums.error != nullptr) return computation_error(sums.error);
    return build_list(sums.values, &args.interruption());
}

// --- native entries

template <const auto& Signature, auto Body>
PyObject* native(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The kernel path is chosen once, from the environment: here, on the
    // calling thread and under the interpreter lock, rather than on whichever
    // worker first needs it.
    lanes::active_kernel_path();
    return run_call(Signature, args, nargs, kwnames, Body);
}

// The documentation of a function record: its text signature, "name(l, re,
// rstar)", then "\n--\n\n", from which the interpreter derives
// __text_signature__ (and __doc__ is None).
template <const auto& Signature> const char* text_signature() {
    static const std::string doc = [] {
        std::string text = std::string(Signature.function) + "(";
        for (const char* parameter : Signature.parameters) {
            if (text.back() != '(') text += ", ";
            text += parameter;
        }
        return text + ")\n--\n\n";
    }();
    return doc.c_str();
}

// A function record. METH_STATIC does not change how these records are
// called (each becomes a function object through PyCMethod_New, bound to the
// module, whose entry ignores it); it states that they are not methods of
// the module object, and keeps them out of PyModule_AddFunctions, which
// refuses the flag: the execution step makes every function object itself.
template <const auto& Signature, auto Body> PyMethodDef record() {
    using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    FastCall function = &native<Signature, Body>;
    return PyMethodDef{Signature.function,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
                       METH_FASTCALL | METH_STATIC | METH_KEYWORDS, text_signature<Signature>()};
}

PyMethodDef table[] = {
    record<witt_mao_signature, witt_mao>(),
    record<multi_witt_mao_signature, multi_witt_mao>(),
    record<heyrovsky_signature, heyrovsky>(),
    record<integrated_heyrovsky_signature,
           separations_re_rstar<lensing::integrated_heyrovsky_magnification>>(),
    record<integrated_witt_mao_signature,
           separations_re_rstar<lensing::integrated_witt_mao_magnification>>(),
    record<flux_map_witt_mao_signature,
           flux_map<lensing::integrated_flux_map_witt_mao_magnification>>(),
    record<flux_map_heyrovsky_signature,
           flux_map<lensing::integrated_flux_map_heyrovsky_magnification>>(),
    record<discrete_signature, discrete_flux_map>(),
};

} // namespace

std::span<PyMethodDef> function_table() noexcept {
    return table;
}

} // namespace caustiqa::module
