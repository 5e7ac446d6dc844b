// One case of the embedded-interpreter bridge per process (the interpreter is
// process-wide): zv_pt_bridge_case <case>.  Exits 0 when the case holds, else
// prints what failed on standard output and exits 1.  Which torch the
// interpreter imports is chosen by the test's PYTHONPATH (tests/python/stand_ins).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "zv_pt.h"

namespace {

int failures = 0;
std::string captured;  // the last captured standard error, shown on failure

void expect(bool ok, const char* what) {
    if (ok) return;
    std::printf("FAILED: %s\n", what);
    ++failures;
}

// Sends file descriptor 2 (C and Python standard error) to a temporary file
// until text() gives back what was written.
class StderrCapture {
  public:
    StderrCapture() : file_(std::tmpfile()), saved_(dup(2)) {
        std::fflush(stderr);
        dup2(fileno(file_), 2);
    }
    ~StderrCapture() {
        std::fclose(file_);
        close(saved_);
    }
    // Call with the interpreter lock held, if an interpreter runs.
    std::string text() {
        if (Py_IsInitialized()) PyRun_SimpleString("import sys\nsys.stderr.flush()");
        std::fflush(stderr);
        dup2(saved_, 2);
        captured.clear();
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) captured += static_cast<char>(c);
        return captured;
    }

  private:
    std::FILE* file_;
    int saved_;
};

// repr() of a Python expression evaluated in __main__.
std::string eval_repr(const char* expression) {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* value = PyRun_String(expression, Py_eval_input, globals, globals);
    if (value == nullptr) {
        PyErr_Print();
        return "<error>";
    }
    PyObject* repr = PyObject_Repr(value);
    std::string out = PyUnicode_AsUTF8(repr);
    Py_DECREF(repr);
    Py_DECREF(value);
    return out;
}

// The thread counts the recording stand-in torch was given.
std::string recorded_calls() { return eval_repr("__import__('torch').calls"); }

// Real PyTorch: zvt::init, then setT again, leaves 48 threads and prints nothing.
void real_torch_threads() {
    initialize_python();
    StderrCapture err;
    zvt::init();
    setT();
    expect(err.text().empty(), "setT wrote to standard error");
    expect(eval_repr("__import__('torch').get_num_threads()") == "48", "torch.get_num_threads() is not 48");
    finalize_python();
}

// Each call defines setT afresh and calls it; the definition it replaced is
// freed, so the bridge kept no reference to it.
void quiet_twice() {
    initialize_python();
    StderrCapture err;
    zvt::init();
    PyRun_SimpleString("import weakref\nfirst_set_t = weakref.ref(setT)");
    setT();
    expect(err.text().empty(), "setT wrote to standard error");
    expect(recorded_calls() == "[48, 48]", "set_num_threads(48) not called once per call");
    expect(eval_repr("first_set_t() is None") == "True", "the first setT is still referenced");
    finalize_python();
}

// The import error is printed, then the failed lookup of setT.
void torch_unimportable() {
    initialize_python();
    StderrCapture err;
    setT();
    const std::string text = err.text();
    const size_t import_at = text.find("ImportError: stand-in torch cannot be imported");
    const size_t lookup_at = text.find("AttributeError", import_at);
    expect(import_at != std::string::npos, "import error not printed");
    expect(lookup_at != std::string::npos, "lookup error not printed after the import error");
    expect(text.find("'setT'", lookup_at) != std::string::npos, "lookup error does not name setT");
    expect(PyErr_Occurred() == nullptr, "an error is still pending");
    finalize_python();
}

void set_num_threads_raises() {
    initialize_python();
    StderrCapture err;
    setT();
    const std::string text = err.text();
    expect(text.find("RuntimeError: stand-in set_num_threads refused 48") != std::string::npos,
           "the call's error not printed");
    expect(text.find("AttributeError") == std::string::npos, "setT lookup failed");
    expect(PyErr_Occurred() == nullptr, "an error is still pending");
    finalize_python();
}

// A setT the host puts in __main__, before the first call or between calls,
// is replaced by the script's.
void host_set_t_replaced() {
    const char* host_set_t = "def setT():\n    global host_ran\n    host_ran = True\n";
    initialize_python();
    PyRun_SimpleString("host_ran = False");
    PyRun_SimpleString(host_set_t);
    setT();
    PyRun_SimpleString(host_set_t);
    setT();
    expect(eval_repr("host_ran") == "False", "the host's setT ran");
    expect(recorded_calls() == "[48, 48]", "the script's setT did not run each time");
    finalize_python();
}

void from_second_thread() {
    initialize_python();
    StderrCapture err;
    PyThreadState* main_thread = PyEval_SaveThread();
    std::thread(setT).join();
    PyEval_RestoreThread(main_thread);
    expect(err.text().empty(), "setT wrote to standard error");
    expect(recorded_calls() == "[48]", "set_num_threads(48) not called");
    finalize_python();
}

// Calls outside the interpreter's life, and repeated start and end, do nothing.
void lifecycle() {
    StderrCapture err;
    setT();
    zvt::init();
    expect(!Py_IsInitialized(), "setT started an interpreter");
    initialize_python();
    PyRun_SimpleString("marker = 1");
    initialize_python();
    expect(eval_repr("marker") == "1", "a second initialize_python restarted the interpreter");
    zvt::init();
    expect(recorded_calls() == "[48]", "set_num_threads(48) not called");
    finalize_python();
    finalize_python();
    expect(!Py_IsInitialized(), "finalize_python left the interpreter running");
    setT();
    zvt::init();
    expect(err.text().empty(), "something wrote to standard error");
}

// One 8-bit conversion with whole blocks and a tail, checked element by element.
bool permute_converts() {
    constexpr int pixels = 5 * 7;
    unsigned char src[3 * pixels];
    unsigned char dst[3 * pixels] = {};
    for (int i = 0; i < 3 * pixels; ++i) src[i] = static_cast<unsigned char>(7 * i + 1);
    int shape[3] = {5, 7, 3};
    int order[3] = {2, 0, 1};
    if (zv_permute_hwc_chw(src, dst, shape, order, 0) != result_ok) return false;
    for (int c = 0; c < 3; ++c)
        for (int p = 0; p < pixels; ++p)
            if (dst[c * pixels + p] != src[3 * p + c]) return false;
    return true;
}

void kernels_around_interpreter() {
    expect(permute_converts(), "conversion before the interpreter");
    initialize_python();
    setT();
    expect(permute_converts(), "conversion with the interpreter running");
    finalize_python();
    expect(permute_converts(), "conversion after the interpreter");
}

struct Case {
    const char* name;
    void (*run)();
};

constexpr Case cases[] = {
    {"real_torch_threads", real_torch_threads},
    {"quiet_twice", quiet_twice},
    {"torch_unimportable", torch_unimportable},
    {"set_num_threads_raises", set_num_threads_raises},
    {"host_set_t_replaced", host_set_t_replaced},
    {"from_second_thread", from_second_thread},
    {"lifecycle", lifecycle},
    {"kernels_around_interpreter", kernels_around_interpreter},
};

}  // namespace

int main(int argc, char** argv) {
    for (const Case& c : cases) {
        if (argc == 2 && std::strcmp(argv[1], c.name) == 0) {
            c.run();
            if (failures == 0) return 0;
            std::printf("captured standard error:\n%s", captured.c_str());
            return 1;
        }
    }
    std::printf("usage: %s <case>\n", argv[0]);
    return 2;
}
