// Entry of read_table_batch: bind, pin the buffer, read the frames into
// columns with the interpreter lock released, hand the columns to NumPy.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "boundary/arg_binding.hpp"
#include "boundary/conversions.hpp"
#include "boundary/failure_guard.hpp"
#include "boundary/numpy_exchange.hpp"
#include "boundary/py_ref.hpp"
#include "boundary/python_error.hpp"
#include "native/native_entries.hpp"
#include "native/native_support.hpp"
#include "scan/block_scan.hpp"
#include "scan/table_scan.hpp"

namespace atomblock::native {
namespace {

using py::checked;
using py::PyRef;

constexpr std::array<std::string_view, 8> kParameters = {
    "buffer", "offsets", "natoms", "layouts", "col_types", "keep_info", "atoms", "workers"};
constexpr Py_ssize_t kMaxWorkers = 256;
// Text per thread below which another thread costs more than it saves (a thread is started
// per call: tens of microseconds; a range of this size takes about a millisecond).
constexpr std::size_t kMinThreadBytes = std::size_t{1} << 16;
constexpr py::Signature kSignature = {"read_table_batch", kParameters, 6};

// Text beyond this releases the interpreter lock while it is read.
constexpr std::size_t kReleaseLockMinBytes = std::size_t{1} << 16;

std::vector<std::int64_t> int64_values(PyObject* obj, const char* name) {
    const PinnedBuffer pinned(obj);
    const std::string_view bytes = pinned.bytes();
    if (bytes.size() % sizeof(std::int64_t) != 0) {
        PyErr_Format(PyExc_ValueError, "%s must hold int64 values", name);
        throw py::PythonError();
    }
    std::vector<std::int64_t> values(bytes.size() / sizeof(std::int64_t));
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), bytes.size());
    return values;
}

std::string_view utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text == nullptr) py::throw_python_error();
    return {text, static_cast<std::size_t>(size)};
}

KnownLayouts known_layouts(PyObject* layouts, PyObject* col_types) {
    if (!PyDict_Check(layouts) || !PyList_Check(col_types)) {
        PyErr_SetString(PyExc_TypeError, "layouts must be a dict and col_types a list");
        throw py::PythonError();
    }
    KnownLayouts known;
    const Py_ssize_t count = PyList_GET_SIZE(col_types);
    for (Py_ssize_t k = 0; k < count; ++k)
        known.col_types.push_back(py::convert_col_types(PyList_GET_ITEM(col_types, k)));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(layouts, &pos, &key, &value)) {
        const auto number =
            static_cast<std::size_t>(convert_index(value, "a layout number", 0, count - 1, 0));
        if (key == Py_None) {
            known.absent = number;
        } else if (PyUnicode_Check(key)) {
            known.by_text.emplace(std::string(utf8_of(key)), number);
        } else {
            PyErr_SetString(PyExc_TypeError, "layouts keys must be str or None");
            throw py::PythonError();
        }
    }
    return known;
}

KeyFilter key_filter(PyObject* keep) {
    KeyFilter filter;
    if (keep == nullptr || keep == Py_None) return filter;
    filter.all = false;
    PyRef iterator = checked(PyObject_GetIter(keep));
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        PyRef item = PyRef::steal(raw);
        if (!PyUnicode_Check(item.get())) {
            PyErr_SetString(PyExc_TypeError, "keep_info must hold str");
            throw py::PythonError();
        }
        filter.keys.emplace(utf8_of(item.get()));
    }
    if (PyErr_Occurred()) py::throw_python_error();
    return filter;
}

template <class T>
reader::RowMajorMatrix<T> matrix_of(const std::vector<T>& values, std::size_t rows,
                                    std::size_t cols) {
    reader::RowMajorMatrix<T> matrix{rows, cols, CBuffer<T>::zeroed(rows * cols)};
    if (!values.empty()) std::memcpy(matrix.data.data(), values.data(), values.size() * sizeof(T));
    return matrix;
}

// (key, kind letter, square, values): values are (frames, width) arrays,
// code points for texts, uint8 for bools.
PyRef info_entry(const InfoColumn& column, std::size_t frames) {
    PyRef values;
    char kind = 'f';
    switch (column.kind) {
        case ColumnKind::boolean:
            kind = 'b';
            values = py::make_uint8_array(matrix_of(column.flags, frames, column.width));
            break;
        case ColumnKind::integer:
            kind = 'i';
            values = py::make_int64_array(matrix_of(column.ints, frames, column.width));
            break;
        case ColumnKind::real:
            values = py::make_float64_array(matrix_of(column.reals, frames, column.width));
            break;
        case ColumnKind::text:
            kind = 'U';
            values = py::make_uint32_array(code_point_matrix(column.texts));
            break;
    }
    const std::string_view key = column.key;
    PyRef key_str =
        checked(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
    return checked(
        Py_BuildValue("(NC"
                      "OO)",
                      key_str.release(), static_cast<int>(kind),
                      column.list ? (column.square ? Py_True : Py_False) : Py_None, values.get()));
}

PyRef int32_vector(const std::vector<std::int32_t>& values, std::size_t rows, std::size_t cols) {
    std::vector<std::int64_t> wide(values.begin(), values.end());
    return py::make_int64_array(matrix_of(wide, rows, cols));
}

PyRef columns_dict(AtomRun& run) {
    PyRef dict = checked(PyDict_New());
    auto put = [&](const char* key, PyRef value) {
        if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) py::throw_python_error();
    };
    put("floats", py::make_float64_array(std::move(run.columns.floats)));
    put("ints", py::make_int64_array(std::move(run.columns.ints)));
    put("bools", py::make_uint8_array(std::move(run.columns.bools)));
    PyRef strs = checked(PyList_New(static_cast<Py_ssize_t>(run.utf32.size())));
    for (std::size_t k = 0; k < run.utf32.size(); ++k)
        PyList_SET_ITEM(strs.get(), static_cast<Py_ssize_t>(k),
                        py::make_uint32_array(std::move(run.utf32[k])).release());
    put("strs", std::move(strs));
    return dict;
}

// One batch as Python objects: (begin, frames, stop, info, orders, order_ids,
// layout_ids, cells, has_cell, pbc, runs).
PyRef batch_tuple(std::size_t begin, TableBatch& batch) {
    const std::size_t n = batch.frames;
    PyRef info = checked(PyList_New(0));
    for (const InfoColumn& column : batch.info) {
        PyRef entry = info_entry(column, n);
        if (PyList_Append(info.get(), entry.get()) < 0) py::throw_python_error();
    }
    PyRef orders = checked(PyList_New(0));
    for (const auto& order : batch.orders) {
        PyRef keys = checked(PyTuple_New(static_cast<Py_ssize_t>(order.size())));
        for (std::size_t k = 0; k < order.size(); ++k) {
            const std::string& key = batch.info[order[k]].key;
            PyObject* str =
                PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr);
            if (str == nullptr) py::throw_python_error();
            PyTuple_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(k), str);
        }
        if (PyList_Append(orders.get(), keys.get()) < 0) py::throw_python_error();
    }
    PyRef runs = checked(PyList_New(0));
    for (AtomRun& run : batch.runs) {
        PyRef columns = columns_dict(run);
        PyRef widths = int32_vector(run.widths, run.last - run.first, run.utf32.size());
        PyRef entry = checked(Py_BuildValue(
            "(nnnOO)", static_cast<Py_ssize_t>(run.layout), static_cast<Py_ssize_t>(run.first),
            static_cast<Py_ssize_t>(run.last), columns.get(), widths.get()));
        if (PyList_Append(runs.get(), entry.get()) < 0) py::throw_python_error();
    }
    PyRef order_ids = int32_vector(batch.order_ids, n, 1);
    PyRef layout_ids = int32_vector(batch.layout_ids, n, 1);
    PyRef cells = py::make_float64_array(matrix_of(batch.cells, n, 9));
    PyRef has_cell = py::make_uint8_array(matrix_of(batch.has_cell, n, 1));
    PyRef pbc = py::make_uint8_array(matrix_of(batch.pbc, n, 3));
    return checked(Py_BuildValue("(nniOOOOOOOO)", static_cast<Py_ssize_t>(begin),
                                 static_cast<Py_ssize_t>(n), static_cast<int>(batch.stop),
                                 info.get(), orders.get(), order_ids.get(), layout_ids.get(),
                                 cells.get(), has_cell.get(), pbc.get(), runs.get()));
}

// The first frame of each of `parts` ranges of about the same text: range k
// starts at the first frame whose count line is at or after k / parts of the
// text the frames span.
std::vector<std::size_t> range_starts(std::span<const std::int64_t> offsets, std::size_t parts,
                                      std::size_t text_end) {
    std::vector<std::size_t> starts{0};
    if (offsets.empty()) return starts;
    const auto first = static_cast<std::size_t>(offsets.front());
    const std::size_t span = text_end > first ? text_end - first : 0;
    parts = std::min(parts, std::max<std::size_t>(1, span / kMinThreadBytes));
    for (std::size_t k = 1; k < parts; ++k) {
        const auto target = static_cast<std::int64_t>(first + span / parts * k);
        const auto at = static_cast<std::size_t>(
            std::lower_bound(offsets.begin(), offsets.end(), target) - offsets.begin());
        if (at > starts.back() && at < offsets.size()) starts.push_back(at);
    }
    return starts;
}

// Threads joined when the holder goes, also while an exception unwinds
// (std::jthread is missing from some standard libraries still in use).
struct Threads {
    std::vector<std::thread> started;
    Threads() = default;
    Threads(const Threads&) = delete;
    Threads& operator=(const Threads&) = delete;
    ~Threads() {
        for (std::thread& thread : started) thread.join();
    }
};

PyObject* read_table_batch_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kParameters.size()> bound{};
    py::bind_arguments(kSignature, args, nargs, kwnames, bound);
    const PinnedBuffer buffer(bound[0]);
    const std::string_view data = buffer.bytes();
    const std::vector<std::int64_t> offsets = int64_values(bound[1], "offsets");
    const std::vector<std::int64_t> natoms = int64_values(bound[2], "natoms");
    const KnownLayouts layouts = known_layouts(bound[3], bound[4]);
    const KeyFilter keep = key_filter(bound[5]);
    const bool atoms = convert_flag(bound[6], true);
    const auto workers =
        static_cast<std::size_t>(convert_index(bound[7], "workers", 1, kMaxWorkers, 1));
    const std::size_t frames = std::min(offsets.size(), natoms.size());

    // Ranges of frames, each read on a thread of its own (the first on this one).
    const std::vector<std::size_t> starts =
        range_starts(std::span(offsets).first(frames), workers, data.size());
    std::vector<std::optional<TableBatch>> batches(starts.size());
    {
        std::optional<ReleasedLock> unlocked;
        if (data.size() >= kReleaseLockMinBytes) unlocked.emplace();
        auto read_range = [&](std::size_t k) {
            const std::size_t begin = starts[k];
            const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : frames;
            batches[k].emplace(read_table_batch(
                data, std::span(offsets).subspan(begin, end - begin),
                std::span(natoms).subspan(begin, end - begin), layouts, keep, atoms));
        };
        std::vector<std::exception_ptr> failures(starts.size());
        {
            Threads threads;
            for (std::size_t k = 1; k < starts.size(); ++k) {
                threads.started.emplace_back([&, k] {
                    try {
                        read_range(k);
                    } catch (...) {
                        failures[k] = std::current_exception();
                    }
                });
            }
            try {
                read_range(0);
            } catch (...) {
                failures[0] = std::current_exception();
            }
        }  // the threads join here
        for (const std::exception_ptr& failure : failures)
            if (failure) std::rethrow_exception(failure);
    }
    PyRef result = checked(PyList_New(0));
    for (std::size_t k = 0; k < starts.size(); ++k) {
        PyRef entry = batch_tuple(starts[k], *batches[k]);
        batches[k].reset();  // its columns now belong to the arrays
        if (PyList_Append(result.get(), entry.get()) < 0) py::throw_python_error();
    }
    return result.release();
}

}  // namespace

extern "C" PyObject* read_table_batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    return py::guard_entry([&] { return read_table_batch_call(args, nargs, kwnames); });
}

}  // namespace atomblock::native
