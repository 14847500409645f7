// Entries of read_block, skip_lines and index_frames: bind, pin the buffer,
// walk or read it with the interpreter lock released, build the result.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "boundary/arg_binding.hpp"
#include "boundary/conversions.hpp"
#include "boundary/failure_guard.hpp"
#include "boundary/numpy_exchange.hpp"
#include "boundary/result_keys.hpp"
#include "boundary/string_columns.hpp"
#include "common/column_plan.hpp"
#include "native/native_entries.hpp"
#include "native/native_support.hpp"
#include "reader/atom_reader.hpp"
#include "scan/block_scan.hpp"

namespace atomblock::native {
namespace {

using py::PyRef;

constexpr Py_ssize_t kMaxCount = std::numeric_limits<Py_ssize_t>::max();
// Handing the interpreter lock over costs little, but taking it back while
// another thread runs Python can wait for a whole switch interval (5 ms by
// default): only work of at least this many lines (some tens of
// microseconds) or bytes releases it.
constexpr std::size_t kReleaseLockMinLines = 1024;
constexpr std::size_t kReleaseLockMinBytes = std::size_t{1} << 16;

constexpr std::array<std::string_view, 6> kReadBlockParameters = {"buffer",    "offset", "natoms",
                                                                  "col_types", "strict", "strings"};
constexpr py::Signature kReadBlockSignature = {"read_block", kReadBlockParameters, 4};
constexpr std::array<std::string_view, 3> kSkipLinesParameters = {"buffer", "offset", "n"};
constexpr py::Signature kSkipLinesSignature = {"skip_lines", kSkipLinesParameters};
constexpr std::array<std::string_view, 3> kIndexFramesParameters = {"buffer", "offset",
                                                                    "max_frames"};
constexpr py::Signature kIndexFramesSignature = {"index_frames", kIndexFramesParameters, 1};

// ---- the block read, without the interpreter --------------------------------

// How string columns come back: lists of str (as read_atom_lines_rs gives
// them), or one zero-padded (natoms, longest) uint32 matrix of code points
// per column, which NumPy views as a str array without making any str.
enum class StringForm : std::uint8_t { lists, utf32 };

struct BlockRead {
    reader::AtomColumns columns;  // string views point into the buffer
    std::size_t end;
    std::vector<reader::RowMajorMatrix<std::uint32_t>> utf32;  // filled for StringForm::utf32
};

// The first string token (lowest row, then first column) that is not UTF-8
// or holds a NUL byte: the code-point matrices pad with zeros, so a NUL would
// vanish there, and a frame holding one could not be written back.
std::optional<reader::ReadError> find_invalid_string(const reader::AtomColumns& columns,
                                                     std::span<const std::uint8_t> col_types) {
    std::size_t bad_row = std::numeric_limits<std::size_t>::max();
    std::size_t bad_column = 0;
    Utf8Token bad_kind = Utf8Token::valid;
    for (std::size_t k = 0; k < columns.strs.size(); ++k) {
        const auto& column = columns.strs[k];
        const std::size_t rows = std::min(column.size(), bad_row);
        for (std::size_t r = 0; r < rows; ++r) {
            const Utf8Token kind = classify_utf8_token(column[r]);
            if (kind != Utf8Token::valid) {
                bad_row = r;
                bad_column = k;
                bad_kind = kind;
                break;
            }
        }
    }
    if (bad_kind == Utf8Token::valid) return std::nullopt;
    reader::ReadError error;
    error.kind = bad_kind == Utf8Token::invalid ? reader::FaultKind::invalid_utf8
                                                : reader::FaultKind::nul_byte;
    error.row = bad_row;
    error.token = columns.strs[bad_column][bad_row];
    // String column k is fed by the k-th `s` code of the line.
    const ColumnSources sources{ColumnPlan(col_types)};
    error.column = sources.sources(ColumnKind::string)[bad_column];
    return error;
}

// A long read looks for a pending Ctrl-C between chunks of a few
// milliseconds of work: lines are split 65,536 at a time, and rows are read
// about 8 MiB of text at a time (65,536 rows at most, 64 at least).
constexpr std::size_t kSignalCheckRows = std::size_t{1} << 16;
constexpr std::size_t kSignalCheckBytes = std::size_t{1} << 23;
constexpr std::size_t kSignalCheckMinRows = 64;
// Smaller reads (a fraction of a millisecond, unless their lines are very
// long) do not look at all: telling the main thread costs about a microsecond.
constexpr std::size_t kSignalWatchMinRows = 4096;
static_assert(kSignalWatchMinRows >= kReleaseLockMinLines,
              "signals are checked with the lock released");

std::size_t rows_per_signal_check(std::size_t rows, std::size_t bytes) {
    const std::size_t line_bytes = bytes / std::max<std::size_t>(rows, 1) + 1;
    return std::clamp(kSignalCheckBytes / line_bytes, kSignalCheckMinRows, kSignalCheckRows);
}

void check_signals(void* lock) {
    static_cast<ReleasedLock*>(lock)->check_signals();
}

// Reads the block; the earliest fault of any kind wins: reader faults and
// string tokens that are not UTF-8 (or hold NUL) row by row, then missing
// lines. With `signals` (the released lock of the main thread), pending
// signal handlers run between chunks of rows; one that raises ends the read
// by throwing PythonError.
std::variant<BlockRead, reader::ReadError> read_block_text(std::string_view data,
                                                           std::size_t offset, std::size_t natoms,
                                                           std::span<const std::uint8_t> col_types,
                                                           bool strict, StringForm form,
                                                           ReleasedLock* signals) {
    std::vector<std::string_view> lines;
    lines.reserve(std::min(natoms, data.size() - offset));  // a line holds at least one byte
    LineRun run{0, offset};
    while (run.lines < natoms) {
        const std::size_t wanted = std::min(natoms - run.lines, kSignalCheckRows);
        const LineRun part = split_lines(data, run.end, wanted, lines);
        run.lines += part.lines;
        run.end = part.end;
        if (part.lines < wanted) break;
        if (signals != nullptr && run.lines < natoms) signals->check_signals();
    }
    reader::ReadOptions options;
    options.reject_extra_tokens = strict;
    if (signals != nullptr) {
        options.checkpoint = check_signals;
        options.checkpoint_context = signals;
        options.checkpoint_rows = rows_per_signal_check(run.lines, run.end - offset);
    }
    auto outcome = reader::read_atom_lines(lines, col_types, options);
    if (auto* error = std::get_if<reader::ReadError>(&outcome)) {
        if (error->row > 0) {
            // The rows before the fault read cleanly; their string tokens
            // may still hold an earlier fault.
            auto before =
                reader::read_atom_lines(std::span(lines).first(error->row), col_types, options);
            if (auto* clean = std::get_if<reader::AtomColumns>(&before)) {
                if (auto fault = find_invalid_string(*clean, col_types)) return *fault;
            }
        }
        return *error;
    }
    auto& columns = std::get<reader::AtomColumns>(outcome);
    if (auto fault = find_invalid_string(columns, col_types)) return *fault;
    if (run.lines < natoms) {
        reader::ReadError error;
        error.kind = reader::FaultKind::too_few_lines;
        error.row = run.lines;
        error.expected = natoms;
        error.found = run.lines;
        return error;
    }
    BlockRead read{std::move(columns), run.end, {}};
    if (form == StringForm::utf32) {
        read.utf32.reserve(read.columns.strs.size());
        for (const auto& column : read.columns.strs)
            read.utf32.push_back(code_point_matrix(column));
    }
    return read;
}

// ---- results ------------------------------------------------------------------

using py::insert;
using py::kBoolsKey;
using py::kFloatsKey;
using py::kIntsKey;
using py::kStrsKey;

// The same dict as read_atom_lines_rs returns; with utf32 string columns,
// "strs" holds their code-point matrices instead of lists.
PyRef make_columns_dict(BlockRead& read) {
    reader::AtomColumns& columns = read.columns;
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) py::fail_result_creation();
    insert(result.get(), kFloatsKey, py::make_float64_array(std::move(columns.floats)));
    insert(result.get(), kIntsKey, py::make_int64_array(std::move(columns.ints)));
    insert(result.get(), kBoolsKey, py::make_uint8_array(std::move(columns.bools)));
    if (read.utf32.size() == columns.strs.size() && !columns.strs.empty()) {
        PyRef matrices = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(read.utf32.size())));
        if (!matrices) py::fail_result_creation();
        for (std::size_t k = 0; k < read.utf32.size(); ++k) {
            // SET_ITEM steals the new array's reference.
            PyList_SET_ITEM(matrices.get(), static_cast<Py_ssize_t>(k),
                            py::make_uint32_array(std::move(read.utf32[k])).release());
        }
        insert(result.get(), kStrsKey, std::move(matrices));
    } else {
        insert(result.get(), kStrsKey, py::make_string_columns(columns.strs));
    }
    return result;
}

StringForm convert_string_form(PyObject* obj) {
    if (obj == nullptr) return StringForm::lists;
    if (PyUnicode_Check(obj)) {
        if (PyUnicode_CompareWithASCIIString(obj, "list") == 0) return StringForm::lists;
        if (PyUnicode_CompareWithASCIIString(obj, "utf32") == 0) return StringForm::utf32;
    }
    PyErr_Format(PyExc_ValueError, "strings must be 'list' or 'utf32', got %R", obj);
    throw py::PythonError();
}

PyObject* size_pair(std::size_t first, std::size_t second) {
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(first), static_cast<Py_ssize_t>(second));
}

// ---- entries --------------------------------------------------------------------

PyObject* read_block(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kReadBlockParameters.size()> bound{};
    py::bind_arguments(kReadBlockSignature, args, nargs, kwnames, bound);
    const PinnedBuffer buffer(bound[0]);
    const std::string_view data = buffer.bytes();
    const auto offset = static_cast<std::size_t>(
        convert_index(bound[1], "offset", 0, static_cast<Py_ssize_t>(data.size()), 0));
    const auto natoms =
        static_cast<std::size_t>(convert_index(bound[2], "natoms", 0, kMaxCount, 0));
    const std::vector<std::uint8_t> col_types =
        py::with_argument_name("col_types", [&] { return py::convert_col_types(bound[3]); });
    const bool strict = convert_flag(bound[4], true);
    const StringForm form = convert_string_form(bound[5]);

    // Only a read of some length looks for signals, and only on the main
    // thread: elsewhere none are handled, and taking the lock back could wait
    // behind another thread's Python code.
    const bool watch_signals = natoms >= kSignalWatchMinRows && on_main_thread();
    std::optional<std::variant<BlockRead, reader::ReadError>> outcome;
    {
        std::optional<ReleasedLock> unlocked;
        if (natoms >= kReleaseLockMinLines) unlocked.emplace();
        ReleasedLock* const signals = watch_signals ? &*unlocked : nullptr;
        outcome.emplace(read_block_text(data, offset, natoms, col_types, strict, form, signals));
    }
    if (auto* fault = std::get_if<reader::ReadError>(&*outcome)) raise_read_error(*fault, data);
    auto& read = std::get<BlockRead>(*outcome);
    PyRef columns = make_columns_dict(read);  // copies list-form string tokens out
    PyRef end = py::checked(PyLong_FromSize_t(read.end));
    return PyTuple_Pack(2, columns.get(), end.get());
}

PyObject* skip_lines(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kSkipLinesParameters.size()> bound{};
    py::bind_arguments(kSkipLinesSignature, args, nargs, kwnames, bound);
    const PinnedBuffer buffer(bound[0]);
    const std::string_view data = buffer.bytes();
    const auto offset = static_cast<std::size_t>(
        convert_index(bound[1], "offset", 0, static_cast<Py_ssize_t>(data.size()), 0));
    const auto n = static_cast<std::size_t>(convert_index(bound[2], "n", 0, kMaxCount, 0));
    LineRun run;
    {
        std::optional<ReleasedLock> unlocked;
        if (n >= kReleaseLockMinLines) unlocked.emplace();
        run = native::skip_lines(data, offset, n);
    }
    return size_pair(run.end, run.lines);
}

PyObject* index_frames(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kIndexFramesParameters.size()> bound{};
    py::bind_arguments(kIndexFramesSignature, args, nargs, kwnames, bound);
    const PinnedBuffer buffer(bound[0]);
    const std::string_view data = buffer.bytes();
    const auto offset = static_cast<std::size_t>(
        convert_index(bound[1], "offset", 0, static_cast<Py_ssize_t>(data.size()), 0));
    const Py_ssize_t max_frames = convert_index(bound[2], "max_frames", -1, kMaxCount, -1);
    const std::size_t frame_limit = max_frames < 0 ? std::numeric_limits<std::size_t>::max()
                                                   : static_cast<std::size_t>(max_frames);
    FrameIndex index;
    {
        std::optional<ReleasedLock> unlocked;
        if (data.size() - offset >= kReleaseLockMinBytes) unlocked.emplace();
        index = native::index_frames(data, offset, frame_limit);
    }
    PyRef offsets = make_int64_vector(index.offsets.data(), index.offsets.size());
    PyRef natoms = make_int64_vector(index.natoms.data(), index.natoms.size());
    return Py_BuildValue("(OOnn)", offsets.get(), natoms.get(),
                         static_cast<Py_ssize_t>(index.stop_offset),
                         static_cast<Py_ssize_t>(index.stop_line));
}

}  // namespace

extern "C" PyObject* read_block_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return py::guard_entry([&] { return read_block(args, nargs, kwnames); });
}

extern "C" PyObject* skip_lines_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return py::guard_entry([&] { return skip_lines(args, nargs, kwnames); });
}

extern "C" PyObject* index_frames_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return py::guard_entry([&] { return index_frames(args, nargs, kwnames); });
}

}  // namespace atomblock::native
