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

PART = 1 << 22  # values read at a time: memory stays bounded whatever the files

class ChannelStats:
    """Per-channel count, mean and sum of squared deviations, merged part by part in float64."""

    def __init__(self):
        self.count = [0] * 3
        self.mean = [0.0] * 3
        self.m2 = [0.0] * 3

    def add(self, rows, channels):
        """rows: a (k, m) tensor whose row i holds values of channel channels[i]."""
        rows = rows.to(torch.float64)
        for c in range(3):
            picked = [i for i, channel in enumerate(channels) if channel == c]
            if picked:
                values = rows[picked].reshape(-1)
                mean = values.mean()
                self.merge(c, values.numel(), mean.item(), ((values - mean) ** 2).sum().item())

    def merge(self, c, count, mean, m2):
        total = self.count[c] + count
        delta = mean - self.mean[c]
        self.mean[c] += delta * count / total
        self.m2[c] += m2 + delta * delta * self.count[c] * count / total
        self.count[c] = total

    def merge_all(self, other):
        for c in range(3):
            if other.count[c]:
                self.merge(c, other.count[c], other.mean[c], other.m2[c])

    def text(self):
        std = [(m2 / max(n - 1, 1)) ** 0.5 for n, m2 in zip(self.count, self.m2)]
        return "mean " + " ".join("%+.4f" % m for m in self.mean) + "   std " + " ".join("%.4f" % s for s in std)

def read_header(f):
    version = numpy.lib.format.read_magic(f)
    read = numpy.lib.format.read_array_header_1_0 if version == (1, 0) else numpy.lib.format.read_array_header_2_0
    shape, fortran_order, dtype = read(f)
    return shape, dtype

def file_stats(path):
    """The shape, dtype (in torch) and channel statistics of a C-ordered (..., 3, H, W) file, read in parts."""
    with open(path, "rb") as f:
        shape, dtype = read_header(f)

        def read(count):
            values = numpy.fromfile(f, dtype=dtype, count=count)
            if values.size != count:
                raise ValueError("%s: the file ends before its data" % path)
            return torch.from_numpy(values)

        plane, planes = int(numpy.prod(shape[-2:])), int(numpy.prod(shape[:-2]))
        stats, done = ChannelStats(), 0
        while done < planes:
            if plane <= PART:  # as many whole planes as fit in a part
                k = min(PART // max(plane, 1), planes - done)
                stats.add(read(k * plane).reshape(k, plane), [(done + i) % 3 for i in range(k)])
            else:  # one plane, in slices
                k = 1
                for start in range(0, plane, PART):
                    stats.add(read(min(PART, plane - start)).reshape(1, -1), [done % 3])
            done += k
    return tuple(shape), torch.from_numpy(numpy.empty(0, dtype)).dtype, stats

def zv_prep_report(paths):
    print("torch %s: %d tensor%s loaded" % (torch.__version__, len(paths), "" if len(paths) == 1 else "s"))
    stacked, shapes, entries = ChannelStats(), set(), 0
    for index, path in enumerate(paths):
        shape, dtype, stats = file_stats(path)
        stacked.merge_all(stats)
        shapes.add(shape[-3:])
        entries += shape[0] if len(shape) > 3 else 1
        if index < 8:
            print("  %-28s %-22s %s  %s" % (path.rsplit("/", 1)[-1], shape, dtype, stats.text()))
    if len(paths) > 8:
        print("  ... and %d more" % (len(paths) - 8))
    if len(paths) > 1 and len(shapes) == 1:
        print("  %-28s %-22s %s  %s" % ("all, stacked", (entries,) + shapes.pop(), dtype, stacked.text()))
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
