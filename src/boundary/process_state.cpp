// The process-wide state listed in process_state.hpp.
#include "boundary/process_state.hpp"

#include "boundary/python_error.hpp"

namespace atomblock::py::process {

constinit std::atomic<std::int64_t> owning_interpreter{kNoInterpreter};
constinit ProcessLifetime<PyRef> module_object;
// Until a module's initialisation sets its own name.
constinit const char* module_name = "atomblock";
constinit ProcessLifetime<PyRef> panic_exception;
constinit std::array<ProcessLifetime<PyRef>, kResultKeyCount> result_keys;
constinit ProcessLifetime<PyRef> numpy_core_package;
constinit ProcessLifetime<PyRef> numpy_multiarray_module;
constinit ProcessLifetime<NumpyApi> numpy_api;
constinit ProcessLifetime<PyRef> slice_container_type;

void claim_interpreter(std::string_view refusal) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_python_error();
    std::int64_t expected = kNoInterpreter;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id)
        raise(PyExc_ImportError, refusal);
}

}  // namespace atomblock::py::process
