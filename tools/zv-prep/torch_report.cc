#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "torch_report.h"

#include <cstdio>

#include "zv_pt.h"

namespace zvprep {
namespace {

// Runs in __main__ with `zv_prep_outputs`, the list of file names, set.
constexpr char kReport[] = R"(
import sys
import numpy
import torch

def zv_prep_report(paths):
    tensors = [torch.from_numpy(numpy.load(path)) for path in paths]
    def stats(t):
        dims = [d for d in range(t.dim()) if d != t.dim() - 3]  # all but the channel axis
        mean = t.mean(dim=dims).tolist()
        std = t.std(dim=dims).tolist()
        return ("mean " + " ".join("%+.4f" % m for m in mean) +
                "   std " + " ".join("%.4f" % s for s in std))
    print("torch %s: %d tensor%s loaded" % (torch.__version__, len(tensors), "" if len(tensors) == 1 else "s"))
    for path, t in list(zip(paths, tensors))[:8]:
        print("  %-28s %-22s %s  %s" % (path.rsplit("/", 1)[-1], tuple(t.shape), t.dtype, stats(t)))
    if len(tensors) > 8:
        print("  ... and %d more" % (len(tensors) - 8))
    if len(tensors) > 1 and len({t.shape[-3:] for t in tensors}) == 1:
        batch = torch.cat([t.reshape(-1, *t.shape[-3:]) for t in tensors])
        print("  %-28s %-22s %s  %s" % ("all, stacked", tuple(batch.shape), batch.dtype, stats(batch)))
    print("torch.get_num_threads() = %d" % torch.get_num_threads())
    sys.stdout.flush()

zv_prep_report(zv_prep_outputs)
)";

// Hands the file names to __main__ as a list of str.
bool set_outputs(const std::vector<std::string>& files) {
    PyObject* list = PyList_New(0);
    for (const std::string& file : files) {
        PyObject* name = PyUnicode_DecodeFSDefault(file.c_str());
        if (name == nullptr || PyList_Append(list, name) != 0) {
            Py_XDECREF(name);
            Py_DECREF(list);
            return false;
        }
        Py_DECREF(name);
    }
    const int rc = PyObject_SetAttrString(PyImport_AddModule("__main__"), "zv_prep_outputs", list);
    Py_DECREF(list);
    return rc == 0;
}

}  // namespace

bool report_in_torch(const std::vector<std::string>& npy_files) {
    std::fflush(stdout);  // the interpreter writes through buffers of its own
    std::fflush(stderr);
    initialize_python();
    zvt::init();
    bool ok = set_outputs(npy_files);
    if (!ok) PyErr_Print();
    ok = ok && PyRun_SimpleString(kReport) == 0;
    finalize_python();
    return ok;
}

}  // namespace zvprep
