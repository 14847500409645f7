// NumPy's C API without NumPy's headers: the capsule table, the few struct
// fields this module reads, input views and adopting output arrays.
#include "boundary/numpy_exchange.hpp"

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boundary/process_state.hpp"
#include "boundary/python_error.hpp"
#include "common/internal_failure.hpp"

namespace atomblock::py {
namespace {

// ---- NumPy ABI: the parts this module depends on --------------------------

using npy_intp = Py_ssize_t;

// Slots of the _ARRAY_API table, stable across NumPy 1.x and 2.x.
enum ArrayApiSlot : std::size_t {
    kSlotArrayType = 2,
    kSlotDescrFromType = 45,
    kSlotNewFromDescr = 94,
    kSlotEquivTypes = 182,
    kSlotSetBaseObject = 282,
};

// Type numbers of NumPy's C enumeration, one per C type.
enum NpyTypeNumber : int {
    kNpyUByte = 2,
    kNpyInt = 5,
    kNpyUInt = 6,
    kNpyLong = 7,
    kNpyULong = 8,
    kNpyLongLong = 9,
    kNpyULongLong = 10,
    kNpyDouble = 12,
};

// Widths in bits of the C integer types that NumPy numbers.
struct DataModel {
    std::size_t int_bits;
    std::size_t long_bits;
    std::size_t long_long_bits;
};
constexpr DataModel kThisPlatform = {CHAR_BIT * sizeof(int), CHAR_BIT * sizeof(long),
                                     CHAR_BIT * sizeof(long long)};
constexpr DataModel kLP64 = {32, 64, 64};   // Linux, macOS
constexpr DataModel kLLP64 = {32, 32, 64};  // 64-bit Windows
constexpr DataModel kILP32 = {32, 32, 64};  // 32-bit platforms

constexpr std::size_t kBits32 = 32;
constexpr std::size_t kBits64 = 64;

// NumPy's headers give a sized integer type (NPY_INT64, NPY_UINT32) the
// number of the C type of that width, preferring `long` over `long long`
// and over `int`.
constexpr int sized_integer_type_number(std::size_t bits, bool is_signed, DataModel model) {
    if (bits == model.long_bits) return is_signed ? kNpyLong : kNpyULong;
    if (bits == model.long_long_bits) return is_signed ? kNpyLongLong : kNpyULongLong;
    if (bits == model.int_bits) return is_signed ? kNpyInt : kNpyUInt;
    return -1;
}

// So NPY_INT64 is NPY_LONG where `long` has 64 bits and NPY_LONGLONG where it
// has 32; NPY_UINT32 is NPY_UINT where `long` has 64 bits and NPY_ULONG where
// it has 32.
static_assert(sized_integer_type_number(kBits64, true, kLP64) == kNpyLong);
static_assert(sized_integer_type_number(kBits32, false, kLP64) == kNpyUInt);
static_assert(sized_integer_type_number(kBits64, true, kLLP64) == kNpyLongLong);
static_assert(sized_integer_type_number(kBits32, false, kLLP64) == kNpyULong);
static_assert(sized_integer_type_number(kBits64, true, kILP32) == kNpyLongLong);
static_assert(sized_integer_type_number(kBits32, false, kILP32) == kNpyULong);

constexpr int kNpyInt64 = sized_integer_type_number(kBits64, true, kThisPlatform);
constexpr int kNpyUInt32 = sized_integer_type_number(kBits32, false, kThisPlatform);
static_assert(kNpyInt64 > 0 && kNpyUInt32 > 0, "no C integer type of 32 or 64 bits");
// unsigned char and double are uint8 and float64 wherever CPython runs
// (NumPy numbers float64 as NPY_DOUBLE, preferring it over long double).
static_assert(CHAR_BIT == 8 && CHAR_BIT * sizeof(double) == kBits64);
constexpr int kNpyUInt8 = kNpyUByte;
constexpr int kNpyFloat64 = kNpyDouble;

// NPY_ARRAY_WRITEABLE: bit 10 of the array flags.
constexpr int kNpyArrayWriteable = 0x0400;

// Leading fields of NumPy's array object; identical in NumPy 1.x and 2.x.
struct ArrayObjectFields {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*,
                                     int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

// ---- NumPy API access ------------------------------------------------------

constexpr long kFirstMajorWithPrivateCore = 2;  // NumPy 2 moved numpy.core to numpy._core
constexpr long kLargestMajor = 255;             // the major version is read as one byte

PyRef determine_core_package() {
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    PyRef numpy_lib = checked(PyImport_ImportModule("numpy.lib"));
    PyRef numpy_version = checked(PyObject_GetAttrString(numpy_lib.get(), "NumpyVersion"));
    PyRef parsed = checked(PyObject_CallOneArg(numpy_version.get(), version.get()));
    PyRef major_obj = checked(PyObject_GetAttrString(parsed.get(), "major"));
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) throw PythonError();
    if (major < 0 || major > kLargestMajor)
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return checked(
        PyUnicode_FromString(major >= kFirstMajorWithPrivateCore ? "numpy._core" : "numpy.core"));
}

NumpyApi load_api_table() {
    const PyRef& core_package = process::numpy_core_package.once(determine_core_package);
    const PyRef& multiarray_name = process::numpy_multiarray_module.once(
        [&] { return checked(PyUnicode_FromFormat("%U.multiarray", core_package.get())); });
    PyRef multiarray = checked(PyImport_Import(multiarray_name.get()));
    PyRef capsule = checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get()) &&
        !PyType_IsSubtype(Py_TYPE(capsule.get()), &PyCapsule_Type)) {
        raise(PyExc_TypeError, cannot_convert_message(capsule.get(), "PyCapsule"));
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred()) throw PythonError();
    void* table = PyCapsule_GetPointer(capsule.get(), capsule_name);
    if (table == nullptr) throw_python_error();
    return NumpyApi{std::move(capsule), static_cast<void**>(table)};
}

// The NumPy API table; imports NumPy on first use. A failure becomes an
// internal failure naming the Python error, and is retried by the next call.
void** numpy_api() {
    if (const NumpyApi& api = process::numpy_api.get()) return api.table;
    try {
        return process::numpy_api.once(load_api_table).table;
    } catch (const PythonError&) {
        fail(concat({"Failed to access NumPy array API capsule: ", take_error_description()}));
    }
}

PyTypeObject* array_type(void** api) {
    return static_cast<PyTypeObject*>(api[kSlotArrayType]);
}

PyObject* descr_from_type(void** api, int type_number) {
    return reinterpret_cast<DescrFromTypeFn>(api[kSlotDescrFromType])(type_number);
}

// ---- Input views -----------------------------------------------------------

// NPY_BOOL: NumPy's bool, one byte holding 0 or 1.
constexpr int kNpyBool = 0;
constexpr int kNoOtherType = -1;

bool has_type(void** api, PyObject* descr, int type_number) {
    PyRef wanted = checked(descr_from_type(api, type_number));
    return descr == wanted.get() ||
           reinterpret_cast<EquivTypesFn>(api[kSlotEquivTypes])(descr, wanted.get()) != 0;
}

// With `one_dim`, a 1-D array is taken as one column; `other_type` is a
// second accepted element type of the same size (or kNoOtherType).
template <class T>
HeldView<T> extract_matrix(PyObject* obj, int type_number, bool one_dim = false,
                           int other_type = kNoOtherType) {
    void** api = numpy_api();
    bool accepted = PyObject_TypeCheck(obj, array_type(api)) != 0;
    const auto* fields = reinterpret_cast<const ArrayObjectFields*>(obj);
    accepted = accepted && (fields->nd == 2 || (one_dim && fields->nd == 1));
    if (accepted) {
        accepted = has_type(api, fields->descr, type_number) ||
                   (other_type != kNoOtherType && has_type(api, fields->descr, other_type));
    }
    if (!accepted) {
        raise(PyExc_TypeError, cannot_convert_message(obj, "PyArray<T, D>"));
    }
    HeldView<T> held;
    held.array = PyRef::borrow(obj);
    held.view.origin = reinterpret_cast<const unsigned char*>(fields->data);
    held.view.rows = static_cast<std::size_t>(fields->dimensions[0]);
    held.view.row_stride = fields->strides[0];
    if (fields->nd == 2) {
        held.view.cols = static_cast<std::size_t>(fields->dimensions[1]);
        held.view.col_stride = fields->strides[1];
    } else {
        held.view.cols = 1;
        held.view.col_stride = 0;
    }
    return held;
}

// ---- Output arrays ---------------------------------------------------------

// PySliceContainer: owns one adopted buffer and frees it when deallocated.
struct SliceContainer {
    PyObject_HEAD
    void* data;
    std::size_t length;
    std::size_t capacity;
    void (*release)(void*);
};

constexpr const char* kSliceContainerName = "PySliceContainer";

void release_with_free(void* data) {
    std::free(data);
}

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->data != nullptr && container->release != nullptr)
        container->release(container->data);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold their type
}

PyObject* slice_container_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", kSliceContainerName);
    return nullptr;
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(slice_container_new)},
    {Py_tp_doc,
     const_cast<char*>("Utility type to store an owned buffer safely on the Python heap.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer", sizeof(SliceContainer), 0,
    Py_TPFLAGS_DEFAULT,          slice_container_slots,
};

PyTypeObject* get_slice_container_type() {
    const PyRef& type = process::slice_container_type.once([] {
        PyRef created = PyRef::steal(PyType_FromSpec(&slice_container_spec));
        if (!created) {
            if (PyErr_Occurred()) PyErr_PrintEx(0);
            fail(concat({"failed to create type object for ", kSliceContainerName}));
        }
        return created;
    });
    return reinterpret_cast<PyTypeObject*>(type.get());
}

template <class T>
PyRef make_array(reader::RowMajorMatrix<T>&& matrix, int type_number) {
    PyTypeObject* container_type = get_slice_container_type();
    CBuffer<T> buffer = std::move(matrix.data);
    PyRef owner = PyRef::steal(container_type->tp_alloc(container_type, 0));
    if (!owner) fail(concat({"Failed to create slice container: ", take_error_description()}));
    {
        auto* container = reinterpret_cast<SliceContainer*>(owner.get());
        container->length = buffer.size();
        container->capacity = buffer.size();
        container->release = release_with_free;
        container->data = buffer.release();
    }
    void* data = reinterpret_cast<SliceContainer*>(owner.get())->data;

    void** api = numpy_api();
    PyObject* descr = descr_from_type(api, type_number);
    if (descr == nullptr) throw_python_error();
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows), static_cast<npy_intp>(matrix.cols)};
    const bool has_elements = matrix.rows != 0 && matrix.cols != 0;
    npy_intp strides[2] = {has_elements ? static_cast<npy_intp>(matrix.cols * sizeof(T)) : 0,
                           has_elements ? static_cast<npy_intp>(sizeof(T)) : 0};
    // The descriptor reference passes to NumPy, also when creation fails.
    PyRef array = checked(reinterpret_cast<NewFromDescrFn>(api[kSlotNewFromDescr])(
        array_type(api), descr, 2, dims, strides, data, kNpyArrayWriteable, nullptr));
    // SetBaseObject steals the owner's reference, also when it fails.
    if (reinterpret_cast<SetBaseObjectFn>(api[kSlotSetBaseObject])(array.get(), owner.release()) <
        0)
        throw_python_error();
    return array;
}

}  // namespace

HeldView<std::uint32_t> extract_uint32_matrix(PyObject* obj) {
    return extract_matrix<std::uint32_t>(obj, kNpyUInt32);
}
HeldView<double> extract_float64_matrix(PyObject* obj) {
    return extract_matrix<double>(obj, kNpyFloat64);
}
HeldView<std::int64_t> extract_int64_matrix(PyObject* obj) {
    return extract_matrix<std::int64_t>(obj, kNpyInt64);
}
HeldView<std::uint8_t> extract_uint8_matrix(PyObject* obj) {
    return extract_matrix<std::uint8_t>(obj, kNpyUInt8);
}

HeldView<double> extract_float64_columns(PyObject* obj) {
    return extract_matrix<double>(obj, kNpyFloat64, true);
}
HeldView<std::int64_t> extract_int64_columns(PyObject* obj) {
    return extract_matrix<std::int64_t>(obj, kNpyInt64, true);
}
HeldView<std::uint8_t> extract_bool_columns(PyObject* obj) {
    return extract_matrix<std::uint8_t>(obj, kNpyUInt8, true, kNpyBool);
}

PyRef make_float64_array(reader::RowMajorMatrix<double>&& matrix) {
    return make_array(std::move(matrix), kNpyFloat64);
}
PyRef make_int64_array(reader::RowMajorMatrix<std::int64_t>&& matrix) {
    return make_array(std::move(matrix), kNpyInt64);
}
PyRef make_uint8_array(reader::RowMajorMatrix<std::uint8_t>&& matrix) {
    return make_array(std::move(matrix), kNpyUInt8);
}
PyRef make_uint32_array(reader::RowMajorMatrix<std::uint32_t>&& matrix) {
    return make_array(std::move(matrix), kNpyUInt32);
}

PyRef make_small_array(SmallArrayType type, int ndim, const std::size_t* dims,
                       const void* elements) {
    if (ndim < 1 || ndim > 2) fail("make_small_array: 1 or 2 dimensions");
    int type_number = kNpyFloat64;
    std::size_t item_size = sizeof(double);
    if (type == SmallArrayType::int64) {
        type_number = kNpyInt64;
        item_size = sizeof(std::int64_t);
    } else if (type == SmallArrayType::boolean) {
        type_number = kNpyBool;
        item_size = 1;
    }
    void** api = numpy_api();
    PyObject* descr = descr_from_type(api, type_number);
    if (descr == nullptr) throw_python_error();
    npy_intp shape[2] = {static_cast<npy_intp>(dims[0]),
                         ndim == 2 ? static_cast<npy_intp>(dims[1]) : 1};
    // NumPy allocates C-ordered memory (no strides given); the descriptor
    // reference passes to it, also when creation fails.
    PyRef array = checked(reinterpret_cast<NewFromDescrFn>(api[kSlotNewFromDescr])(
        array_type(api), descr, ndim, shape, nullptr, nullptr, 0, nullptr));
    const std::size_t count = dims[0] * (ndim == 2 ? dims[1] : 1);
    if (count != 0) {
        auto* fields = reinterpret_cast<ArrayObjectFields*>(array.get());
        std::memcpy(fields->data, elements, count * item_size);
    }
    return array;
}

}  // namespace atomblock::py
