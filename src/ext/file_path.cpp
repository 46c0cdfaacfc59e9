#include "ext/file_path.hpp"

#include <cstring>

namespace halqen::py {

PyResult<FilePath> extract_file_path(PyObject* object) {
  Ref path = Ref::steal(PyOS_FSPath(object));
  if (!path) {
    return fetch_error();
  }
  if (!PyUnicode_Check(path.get())) {
    return std::unexpected(downcast_error(path.get(), "str | os.PathLike[str]"));
  }
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) {
    return fetch_error();
  }
  const char* bytes = PyBytes_AS_STRING(encoded.get());
  const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
  if (std::strlen(bytes) != length) {
    return std::unexpected(PyErr::new_err(PyExc_ValueError, "embedded null byte"));
  }
  return FilePath{std::string(bytes, length), std::move(path)};
}

}  // namespace halqen::py
