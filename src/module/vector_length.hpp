// The words of every class for a vector or query of another length than its
// index's, so that each check of a length says it alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/py_err.hpp"

namespace halqen::py {

// ValueError "Expected {what} of length {dim}, got {length}".
PyErr vector_length_error(const char* what, std::uint64_t dim, std::size_t length);

}  // namespace halqen::py
