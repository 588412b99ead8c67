#include "boundary.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "parallel/pool_lost.h"
#include "process_objects.h"
#include "support/fatal_failure.h"

namespace caustiqa::module::detail {
namespace {

// Raises tessel_runtime.PanicException with `message`.
void raise_fatal_failure(const std::string& message) {
    try {
        PyObject* type = panic_exception_type();
        Ref text = Ref::steal(
            PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (text) PyErr_SetObject(type, text.get());
        return;
    } catch (const ThreadExit&) {
        throw;
    } catch (...) {
    }
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

} // namespace

void raise_active_exception() {
    try {
        throw;
    } catch (const FatalFailure& failure) {
        raise_fatal_failure(failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const parallel::PoolLostToFork&) {
        PyErr_SetString(PyExc_RuntimeError, parallel::PoolLostToFork::message);
    } catch (const ThreadExit&) {
        throw;
    } catch (...) {
        raise_fatal_failure("caustiqa: the native code failed");
    }
}

} // namespace caustiqa::module::detail
