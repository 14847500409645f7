// The "strs" value of a read: a list of lists of str built from token views.
#pragma once

#include <string_view>
#include <vector>

#include "boundary/py_ref.hpp"

namespace atomblock::py {

// One list per string column, each holding one str per row. Equal tokens
// within a call may share one str object (str is immutable, so values are
// unchanged). A failing creation is an internal failure.
PyRef make_string_columns(const std::vector<std::vector<std::string_view>>& columns);

}  // namespace atomblock::py
