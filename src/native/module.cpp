// The atomblock._native module: definition, start-up and the one-interpreter
// guard. Its functions serve the atomblock package: atom blocks read from and
// written to byte buffers, and the walk over frames.
#include <Python.h>

#include <cstdint>

#include "boundary/failure_guard.hpp"
#include "boundary/process_state.hpp"
#include "boundary/py_ref.hpp"
#include "boundary/python_error.hpp"
#include "native/native_entries.hpp"
#include "native/native_support.hpp"

namespace atomblock::native {
namespace {

using py::checked;
using py::PyRef;

constexpr const char* kModuleName = "atomblock._native";
constexpr int kFastCallWithKeywords = METH_FASTCALL | METH_KEYWORDS;

constexpr const char* kReadBlockDoc =
    "read_block(buffer, offset, natoms, col_types, strict=True, strings='list')\n"
    "--\n"
    "\n"
    "Read the `natoms` atom lines that start at byte `offset` of `buffer`.\n"
    "\n"
    "`buffer` is any C-contiguous bytes-like object; it stays pinned during the call.\n"
    "A line ends at b\"\\n\" (a \"\\r\" before it is whitespace); the last line may end at\n"
    "the end of the buffer. Returns (columns, end_offset): `columns` is the dict that\n"
    "_atomblock.read_atom_lines_rs gives for the same lines, `end_offset` the offset\n"
    "just after the block. With `strict`, a token after the last code is a fault.\n"
    "With strings='utf32', \"strs\" holds one (natoms, longest) uint32 array of\n"
    "zero-padded code points per `s` code instead of a list of str (at least one\n"
    "column wide).\n"
    "Faults raise BlockError (\"row {r}: ...\", with .row = r).";

constexpr const char* kSkipLinesDoc =
    "skip_lines(buffer, offset, n)\n"
    "--\n"
    "\n"
    "Skip `n` lines from byte `offset`: returns (end_offset, lines_skipped).\n"
    "\n"
    "lines_skipped < n when the data ends first (then end_offset == len(buffer)).\n"
    "A last line without b\"\\n\" counts as a line.";

constexpr const char* kIndexFramesDoc =
    "index_frames(buffer, offset=0, max_frames=-1)\n"
    "--\n"
    "\n"
    "Walk whole frames from byte `offset` without converting their atom lines.\n"
    "\n"
    "Returns (offsets, natoms, stop_offset, stop_line): int64 arrays of the byte\n"
    "offset of each frame's count line and its atom count, then where the walk\n"
    "stopped and its 0-based line number counted from `offset`. The walk stops at\n"
    "the end of the data (whitespace alone up to the end counts as the end), at a\n"
    "line that is not a count line (decimal digits, optional blanks, tabs and\n"
    "carriage returns around them), at a frame cut short by the end of the data\n"
    "(not listed), or after `max_frames` frames (no limit when negative).";

constexpr const char* kWriteBlockDoc =
    "write_block(str_cols, str_widths, float_mat, int_mat, bool_mat, col_types, "
    "float_format='fixed', natoms=None, check_strings=False)\n"
    "--\n"
    "\n"
    "Format every atom line of one frame as UTF-8 bytes.\n"
    "\n"
    "`str_cols` holds one (natoms, max_len) uint32 array of zero-padded code points\n"
    "per `s` code, in turn, left-justified to the matching `str_widths` entry; an `s`\n"
    "field that is not first on its line gets one blank before it. Floats are\n"
    "\" %16.8f\" (\"fixed\") or \" \" + repr() (\"shortest\"), ints \" %8d\", bools\n"
    "\"  T\"/\"  F\"; each line ends in \"\\n\". natoms defaults to the row count of the\n"
    "first string column, else of float_mat.\n"
    "\n"
    "float_mat, int_mat and bool_mat are each a 2-D array, or a list or tuple of\n"
    "parts (1-D arrays as one column) that take that type's columns in turn;\n"
    "bool parts may be NumPy bool arrays. With check_strings, an empty string or a\n"
    "code point from 1 to 32 raises BlockError (\"str_cols[k]: empty string\" or\n"
    "\"str_cols[k]: blank or control character\", .row = the atom).";

constexpr const char* kWriteFramesDoc =
    "write_frames(offsets, layout_ids, layouts, order_ids, orders, columns, cells, has_cell, pbc, "
    "first, end, float_format=b'fixed')\n"
    "--\n"
    "\n"
    "Format frames [first, end) of a table: count lines, comment lines, atom blocks.\n"
    "\n"
    "offsets (n + 1,) int64: frame k owns rows offsets[k]:offsets[k + 1]. layout_ids and\n"
    "order_ids (n,) int64 pick per frame an entry of `layouts` (None for unused ones, else\n"
    "(col_types, b\"Properties=...\", str_cols, str_widths, floats, ints, bools), the\n"
    "write_block arguments over the whole table's rows) and of `orders` (a list of\n"
    "(b\"key=\", column) pairs). `columns`: per info key (b\"f\"|b\"i\"|b\"b\", values\n"
    "(n,) or (n, m), wrap 0 bare, 1 quoted items, 2 [item], 3 []) or (b\"t\", texts,\n"
    "index (n,) int64). cells (n, 9) float64, has_cell (n,) bool, pbc (n, 3) bool.\n"
    "Returns (bytes, faulty): faulty is the first frame whose string columns hold an\n"
    "empty string or a blank or control character (the text holds the frames before\n"
    "it), else -1.";

constexpr const char* kParseCommentFastDoc =
    "parse_comment_fast(line)\n"
    "--\n"
    "\n"
    "The common comment lines parsed without the interpreter: (info, lattice, pbc,\n"
    "properties), or None when the line holds anything else (escapes, [] arrays,\n"
    "_JSON texts, quoted keys, non-ASCII, malformed pairs, a repeated or valueless\n"
    "special key, ints beyond int64, d/D exponents).\n"
    "\n"
    "`info` holds the typed values of the other keys in line order, quoted and\n"
    "braced lists of numbers or bools as int64/float64/bool arrays (nine numbers\n"
    "under stress/virial as their (3, 3)); lattice is a (3, 3) float64 array for\n"
    "a list of nine numbers, else the raw value text (quotes kept), as is pbc;\n"
    "properties is the text without its quotes; each None when absent. Keys are\n"
    "matched in any letter case.";

constexpr const char* kReadTableBatchDoc =
    "read_table_batch(buffer, offsets, natoms, layouts, col_types, keep_info, atoms=True, "
    "workers=1)\n"
    "--\n"
    "\n"
    "Read the frames whose count lines start at `offsets` (int64, with `natoms` atoms\n"
    "each, as index_frames found them in `buffer`) into columns, up to the first\n"
    "frame that needs the package's own reader.\n"
    "\n"
    "`layouts` maps each known Properties text (None: frames without one) to its\n"
    "number, `col_types` gives each number's column type codes; `keep_info` is\n"
    "None (every key) or the info keys to keep; with `atoms` false no atom line\n"
    "is read. The frames are split into `workers` ranges of about the same text,\n"
    "each read on a thread of its own. Returns a list with one batch per range,\n"
    "(begin, frames, stop, info, orders, order_ids, layout_ids, cells, has_cell,\n"
    "pbc, runs): the range's first frame and the frames read from it; stop 0 when\n"
    "they are all the range's frames, 1 when the next frame needs the package's\n"
    "reader (a comment line or Properties text not covered, or a fault), 2 when\n"
    "an info key changes kind there (a new batch starts at it), 3 when the info\n"
    "keys so far would hold more values than the table may (16 per byte of text);\n"
    "info: (key, kind letter b/i/f/U, None for a scalar or whether a list value is\n"
    "3x3, (frames, width) values, code points for texts, fills where a frame lacks\n"
    "the key); orders: the distinct tuples of keys, order_ids and layout_ids per\n"
    "frame ((frames, 1) int64); cells (frames, 9), NaN without a cell; has_cell and\n"
    "pbc uint8; runs: (layout, first, last, columns, widths) per run of frames of\n"
    "one layout, columns as read_block gives them with strings='utf32', widths\n"
    "(frames, string columns) the longest item "
    "of each frame's string column.";

constexpr const char* kAsciiStringsDoc =
    "ascii_strings(points, width)\n"
    "--\n"
    "\n"
    "The text of zero-padded items of `width` code points each (the memory of a\n"
    "NumPy str array, C order) as (offsets, data): bytes of len(items) + 1 int64\n"
    "offsets and the UTF-8 text, the buffers of an Arrow large_string array; None\n"
    "when a code point is not ASCII or an item holds a NUL before its end.";

PyCFunction as_function(PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// Function descriptors live as long as the process: the function objects
// point at them.
PyMethodDef methods[] = {
    {"read_block", as_function(read_block_entry), kFastCallWithKeywords, kReadBlockDoc},
    {"skip_lines", as_function(skip_lines_entry), kFastCallWithKeywords, kSkipLinesDoc},
    {"index_frames", as_function(index_frames_entry), kFastCallWithKeywords, kIndexFramesDoc},
    {"write_block", as_function(write_block_entry), kFastCallWithKeywords, kWriteBlockDoc},
    {"read_table_batch", as_function(read_table_batch_entry), kFastCallWithKeywords,
     kReadTableBatchDoc},
    {"write_frames", as_function(write_frames_entry), kFastCallWithKeywords, kWriteFramesDoc},
    {"ascii_strings", as_function(ascii_strings_entry), kFastCallWithKeywords, kAsciiStringsDoc},
    {"parse_comment_fast", parse_comment_fast_entry, METH_O, kParseCommentFastDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "Native helpers of the atomblock package: atom blocks read from and written to\n"
    "byte buffers, and the walk over the frames of a file.",
    0,  // no per-module state: what is kept is process-wide (see process_state.hpp)
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise() {
    py::process::claim_interpreter(
        "atomblock._native does not support sub-interpreters: it can only be imported once per "
        "process, by the interpreter that imported it first");
    const PyRef& module = py::process::module_object.once([] {
        PyRef created = checked(PyModule_Create(&module_def));
        PyObject* error_type = block_error_type();
        if (error_type == nullptr) py::throw_python_error();
        if (PyModule_AddObjectRef(created.get(), "BlockError", error_type) < 0)
            py::throw_python_error();
        return created;
    });
    return PyRef::borrow(module.get()).release();
}

}  // namespace
}  // namespace atomblock::native

PyMODINIT_FUNC PyInit__native() {
    atomblock::py::process::module_name = atomblock::native::kModuleName;
    return atomblock::py::guard_entry([] { return atomblock::native::initialise(); });
}
