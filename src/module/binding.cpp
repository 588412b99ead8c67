#include "binding.h"

#include <cstring>
#include <string>
#include <vector>

namespace caustiqa::module::detail {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c': names quoted, commas between them
// when there are more than two, " and " before the last.
std::string name_list(const char* const* names, std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) list += ',';
            list += (i + 1 == count) ? " and " : " ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

PendingError type_error(const std::string& message) noexcept {
    return PendingError::deferred(PyExc_TypeError, message);
}

} // namespace

std::optional<PendingError> bind_arguments(const char* function, const char* const* parameters,
                                           std::size_t count, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    // Built only for a message: the success path allocates nothing.
    const auto full_name = [function] { return std::string(function) + "()"; };
    const auto given = static_cast<std::size_t>(nargs);
    if (given > count) {
        return type_error(full_name() + " takes " + std::to_string(count) +
                          " positional arguments but " + std::to_string(given) +
                          (given == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < count; ++i)
        bound[i] = i < given ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &length);
        if (utf8 == nullptr) PyErr_Clear(); // matches no parameter
        std::size_t match = count;
        for (std::size_t i = 0; utf8 != nullptr && i < count; ++i) {
            if (std::strlen(parameters[i]) == static_cast<std::size_t>(length) &&
                std::memcmp(parameters[i], utf8, static_cast<std::size_t>(length)) == 0) {
                match = i;
                break;
            }
        }
        if (match == count) {
            return PendingError::deferred(
                PyExc_TypeError,
                Ref::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                full_name().c_str(), name)));
        }
        if (bound[match] != nullptr) {
            return PendingError::deferred(
                PyExc_TypeError,
                Ref::steal(PyUnicode_FromFormat("%s got multiple values for argument '%S'",
                                                full_name().c_str(), name)));
        }
        bound[match] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i) {
        if (bound[i] == nullptr) missing.push_back(parameters[i]);
    }
    if (missing.empty()) return std::nullopt;
    return type_error(full_name() + " missing " + std::to_string(missing.size()) +
                      " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                      ": " + name_list(missing.data(), missing.size()));
}

} // namespace caustiqa::module::detail
