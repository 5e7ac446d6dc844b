// Embedded-interpreter bridge: starts and ends CPython, and sets PyTorch's
// thread count through it.  The interpreter is process-wide; these functions
// keep no state of their own and leave all printing to the interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "zv_pt.h"

namespace zv_pt {
namespace {

// Defines __main__.setT.  Run again on every call, so that (as long as torch
// imports) the setT called is this one, whatever the host put in __main__.
constexpr char set_threads_script[] = "\nimport torch\ndef setT():\n    torch.set_num_threads(48)\n";
static_assert(sizeof(set_threads_script) - 1 == 56, "the thread-count script is 56 characters");

// Calls f(); an exception it raises is printed, which also clears it.
void call_reporting_errors(PyObject* f) {
    PyObject* result = PyObject_CallObject(f, nullptr);
    if (result == nullptr) PyErr_Print();
    Py_XDECREF(result);
}

// Calls __main__.setT when it is callable.  A failed lookup (the script did
// not get as far as defining it) is printed, so no error outlives the call.
void call_main_set_threads() {
    PyObject* main_module = PyImport_AddModule("__main__");  // borrowed
    PyObject* f = main_module != nullptr ? PyObject_GetAttrString(main_module, "setT") : nullptr;
    if (f != nullptr && PyCallable_Check(f)) {
        call_reporting_errors(f);
    } else if (PyErr_Occurred() != nullptr) {  // PyErr_Print wants an error set
        PyErr_Print();
    }
    Py_XDECREF(f);
}

}  // namespace
}  // namespace zv_pt

// The initialising thread keeps the interpreter lock; another thread can call
// setT once the host has released it (PyEval_SaveThread).
void initialize_python() {
    if (!Py_IsInitialized()) Py_Initialize();
}

void finalize_python() {
    if (Py_IsInitialized()) Py_Finalize();
}

void setT() {
    if (!Py_IsInitialized()) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    // A failing script prints its own traceback; the lookup below then fails too.
    PyRun_SimpleStringFlags(zv_pt::set_threads_script, nullptr);
    zv_pt::call_main_set_threads();
    PyGILState_Release(state);
}

void zvt::init() { setT(); }
