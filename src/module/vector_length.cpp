#include "module/vector_length.hpp"

#include <string>

namespace halqen::py {

PyErr vector_length_error(const char* what, std::uint64_t dim, std::size_t length) {
  return PyErr::new_err(PyExc_ValueError, std::string("Expected ") + what + " of length " +
                                              std::to_string(dim) + ", got " +
                                              std::to_string(length));
}

}  // namespace halqen::py
