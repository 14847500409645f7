// Entry of write_atoms_rs: bind, convert in parameter order, write, return str.
#include <array>
#include <string_view>

#include "_atomblock/entries.hpp"
#include "_atomblock/str_storage.hpp"
#include "boundary/arg_binding.hpp"
#include "boundary/conversions.hpp"
#include "boundary/failure_guard.hpp"
#include "boundary/numpy_exchange.hpp"
#include "writer/atom_writer.hpp"

namespace atomblock::py {
namespace {

constexpr std::array<std::string_view, 6> kParameters = {
    "sym_codepoints", "sym_width", "float_mat", "int_mat", "bool_mat", "col_types"};
constexpr Signature kSignature = {"write_atoms_rs", kParameters};

// The str of the block. ASCII text was written straight into the str that
// `storage` holds, in its one-byte representation; other text is decoded.
PyRef make_text(writer::AtomBlock& block, StrStorage& storage) {
    if (block.ascii) {
        const std::size_t size = block.text.size();
        return storage.take_ascii_str(block.text.release(), size);
    }
    const std::string_view text = block.text.view();
    PyObject* str =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (str == nullptr) fail_result_creation();
    return PyRef::steal(str);
}

PyObject* write_atoms(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kParameters.size()> bound{};
    bind_arguments(kSignature, args, nargs, kwnames, bound);

    // Strictly in parameter order; views made before a failing argument are
    // released by their destructors as the failure unwinds.
    auto sym_codepoints =
        with_argument_name("sym_codepoints", [&] { return extract_uint32_matrix(bound[0]); });
    const std::uint64_t sym_width =
        with_argument_name("sym_width", [&] { return convert_sym_width(bound[1]); });
    auto float_mat =
        with_argument_name("float_mat", [&] { return extract_float64_matrix(bound[2]); });
    auto int_mat = with_argument_name("int_mat", [&] { return extract_int64_matrix(bound[3]); });
    auto bool_mat = with_argument_name("bool_mat", [&] { return extract_uint8_matrix(bound[4]); });
    std::vector<std::uint8_t> col_types =
        with_argument_name("col_types", [&] { return convert_col_types(bound[5]); });

    StrStorage storage;  // declared before the block, which releases into it
    writer::AtomBlock block =
        writer::write_atom_block(sym_codepoints.view, sym_width, float_mat.view, int_mat.view,
                                 bool_mat.view, col_types, storage);
    return make_text(block, storage).release();
}

}  // namespace

extern "C" PyObject* write_atoms_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return guard_entry([&] { return write_atoms(args, nargs, kwnames); });
}

}  // namespace atomblock::py
