// The process-wide state listed in process_state.hpp.
#include "lib/process_state.hpp"

namespace atomblock::py::process {

constinit std::atomic<std::int64_t> owning_interpreter{kNoInterpreter};
constinit ProcessLifetime<PyRef> module_object;
// Until a module names itself with set_module_name.
constinit const char* module_name = "atomblock";
constinit ProcessLifetime<PyRef> panic_exception;
constinit std::array<ProcessLifetime<PyRef>, kResultKeyCount> result_keys;
constinit ProcessLifetime<PyRef> numpy_core_package;
constinit ProcessLifetime<PyRef> numpy_multiarray_module;
constinit ProcessLifetime<NumpyApi> numpy_api;
constinit ProcessLifetime<PyRef> slice_container_type;

}  // namespace atomblock::py::process
