// Module definition and its execution step (multi-phase initialisation).
#include <string>

#include "boundary.h"
#include "functions.h"
#include "process_objects.h"
#include "support/fatal_failure.h"

namespace caustiqa::module {
namespace {

// The module's __all__, created as an empty list if the module has none yet.
Ref all_list(PyObject* module) {
    PyObject* all_name = interned_name(InternedName::all);
    if (all_name == nullptr) return Ref();
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
    if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (all && PyObject_SetAttr(module, all_name, all.get()) < 0) return Ref();
    return all;
}

// Adds one function object to the module and to its __all__.
int add_function(PyObject* module, PyObject* module_name, PyMethodDef* record) {
    Ref function = Ref::steal(PyCMethod_New(record, module, module_name, nullptr));
    if (!function) return -1;
    PyObject* name_attribute = interned_name(InternedName::name);
    if (name_attribute == nullptr) return -1;
    Ref name = Ref::steal(PyObject_GetAttr(function.get(), name_attribute));
    if (!name) return -1;
    Ref all = all_list(module);
    if (!all) return -1;
    if (PyList_Append(all.get(), name.get()) < 0) {
        fail("could not append __name__ to __all__: " + describe_current_exception());
    }
    return PyObject_SetAttr(module, name.get(), function.get());
}

int execute(PyObject* module) {
    try {
        Ref module_name = Ref::steal(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (PyMethodDef& record : function_table()) {
            if (add_function(module, module_name.get(), &record) < 0) return -1;
        }
        return 0;
    } catch (const ThreadExit&) {
        throw;
    } catch (...) {
        detail::raise_active_exception();
    }
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "caustiqa",
    "Magnification of finite circular sources by a point-mass gravitational lens.",
    0,       // no per-module state
    nullptr, // functions are added by the execution step
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace caustiqa::module

PyMODINIT_FUNC PyInit_caustiqa() {
    return PyModuleDef_Init(&caustiqa::module::definition);
}
