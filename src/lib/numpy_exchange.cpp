// NumPy's C API without NumPy's headers: the capsule table, the few struct
// fields this module reads, input views and adopting output arrays.
#include "lib/numpy_exchange.hpp"

#include <cstddef>
#include <cstdlib>
#include <string>

#include "common/internal_failure.hpp"
#include "lib/python_error.hpp"

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

// Type numbers of NumPy's C enumeration, by the C type that has the width:
// NPY_UBYTE = 2; NPY_UINT = 6; NPY_LONG = 7, NPY_LONGLONG = 9; NPY_DOUBLE = 12.
enum NpyTypeNumber : int {
    kNpyUByte = 2,
    kNpyUInt = 6,
    kNpyLong = 7,
    kNpyULong = 8,
    kNpyLongLong = 9,
    kNpyDouble = 12,
};
constexpr int kNpyUInt8 = kNpyUByte;
constexpr int kNpyFloat64 = kNpyDouble;
// The 64-bit integer is `long` where long has 64 bits, else `long long`.
constexpr int kNpyInt64 = sizeof(long) == 8 ? kNpyLong : kNpyLongLong;
// The 32-bit unsigned integer is `unsigned int` where int has 32 bits, else
// `unsigned long` (the type-number table of NumPy's headers does the same).
constexpr int kNpyUInt32 = sizeof(int) == 4 ? kNpyUInt : kNpyULong;

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

// Process-wide caches: filled by the first successful computation and never
// changed afterwards; a failed computation stores nothing.
PyObject* core_package_name = nullptr;     // "numpy.core" or "numpy._core"
PyObject* multiarray_module_name = nullptr;
PyObject* api_capsule = nullptr;           // kept so that the table stays valid
void** api_table = nullptr;

constexpr long kFirstMajorWithPrivateCore = 2;  // NumPy 2 moved numpy.core to numpy._core
constexpr long kLargestMajor = 255;

PyObject* determine_core_package() {
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
    return PyUnicode_FromString(major >= kFirstMajorWithPrivateCore ? "numpy._core" : "numpy.core");
}

void load_api_table() {
    if (core_package_name == nullptr) {
        PyObject* name = determine_core_package();
        if (name == nullptr) throw_python_error();
        if (core_package_name == nullptr)
            core_package_name = name;
        else
            Py_DECREF(name);
    }
    if (multiarray_module_name == nullptr) {
        PyObject* name = PyUnicode_FromFormat("%U.multiarray", core_package_name);
        if (name == nullptr) throw_python_error();
        if (multiarray_module_name == nullptr)
            multiarray_module_name = name;
        else
            Py_DECREF(name);
    }
    PyRef multiarray = checked(PyImport_Import(multiarray_module_name));
    PyRef capsule = checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get()) &&
        !PyType_IsSubtype(Py_TYPE(capsule.get()), &PyCapsule_Type)) {
        raise(PyExc_TypeError, cannot_convert_message(capsule.get(), "PyCapsule"));
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred()) throw PythonError();
    void* table = PyCapsule_GetPointer(capsule.get(), capsule_name);
    if (table == nullptr) throw_python_error();
    if (api_table == nullptr) {
        api_capsule = capsule.release();
        api_table = static_cast<void**>(table);
    }
}

// The NumPy API table; imports NumPy on first use. A failure becomes an
// internal failure naming the Python error, and is retried by the next call.
void** numpy_api() {
    if (api_table != nullptr) return api_table;
    try {
        load_api_table();
    } catch (const PythonError&) {
        fail(concat({"Failed to access NumPy array API capsule: ", take_error_description()}));
    }
    return api_table;
}

PyTypeObject* array_type(void** api) { return static_cast<PyTypeObject*>(api[kSlotArrayType]); }

PyObject* descr_from_type(void** api, int type_number) {
    return reinterpret_cast<DescrFromTypeFn>(api[kSlotDescrFromType])(type_number);
}

// ---- Input views -----------------------------------------------------------

template <class T>
HeldView<T> extract_matrix(PyObject* obj, int type_number) {
    void** api = numpy_api();
    bool accepted = PyObject_TypeCheck(obj, array_type(api)) != 0;
    const auto* fields = reinterpret_cast<const ArrayObjectFields*>(obj);
    accepted = accepted && fields->nd == 2;
    if (accepted) {
        PyRef wanted = checked(descr_from_type(api, type_number));
        accepted = fields->descr == wanted.get() ||
                   reinterpret_cast<EquivTypesFn>(api[kSlotEquivTypes])(fields->descr,
                                                                        wanted.get()) != 0;
    }
    if (!accepted) {
        raise(PyExc_TypeError, cannot_convert_message(obj, "PyArray<T, D>"));
    }
    HeldView<T> held;
    held.array = PyRef::borrow(obj);
    held.view.origin = reinterpret_cast<const unsigned char*>(fields->data);
    held.view.rows = static_cast<std::size_t>(fields->dimensions[0]);
    held.view.cols = static_cast<std::size_t>(fields->dimensions[1]);
    held.view.row_stride = fields->strides[0];
    held.view.col_stride = fields->strides[1];
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

void release_with_free(void* data) { std::free(data); }

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
    {Py_tp_doc, const_cast<char*>("Utility type to store an owned buffer safely on the Python heap.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT,
    slice_container_slots,
};

PyTypeObject* slice_container_type = nullptr;

PyTypeObject* get_slice_container_type() {
    if (slice_container_type == nullptr) {
        PyObject* type = PyType_FromSpec(&slice_container_spec);
        if (type == nullptr) {
            if (PyErr_Occurred()) PyErr_PrintEx(0);
            fail(concat({"failed to create type object for ", kSliceContainerName}));
        }
        slice_container_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return slice_container_type;
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
    if (reinterpret_cast<SetBaseObjectFn>(api[kSlotSetBaseObject])(array.get(), owner.release()) < 0)
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

PyRef make_float64_array(reader::RowMajorMatrix<double>&& matrix) {
    return make_array(std::move(matrix), kNpyFloat64);
}
PyRef make_int64_array(reader::RowMajorMatrix<std::int64_t>&& matrix) {
    return make_array(std::move(matrix), kNpyInt64);
}
PyRef make_uint8_array(reader::RowMajorMatrix<std::uint8_t>&& matrix) {
    return make_array(std::move(matrix), kNpyUInt8);
}

}  // namespace atomblock::py
