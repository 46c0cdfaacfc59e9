#include "module/py_metadata.hpp"

#include <string_view>
#include <unordered_map>

namespace halqen::py {
namespace {

std::optional<Metadata> as_text(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    return std::nullopt;
  }
  auto text = extract_string(value);
  if (!text) {
    return std::nullopt;
  }
  return Metadata::String(std::move(*text));
}

std::optional<Metadata> as_integer(PyObject* value) {
  if (!PyLong_Check(value) && !PyIndex_Check(value)) {
    return std::nullopt;
  }
  auto number = extract_i64(value);
  if (!number) {
    return std::nullopt;
  }
  return Metadata::Int(*number);
}

std::optional<Metadata> as_float(PyObject* value) {
  auto number = extract_f64(value);
  if (!number) {
    return std::nullopt;
  }
  return Metadata::Float(*number);
}

PyErr metadata_error(const char* prefix, const std::string& attribute) {
  return PyErr::new_err(PyExc_ValueError, prefix + attribute + "'");
}

}  // namespace

std::optional<Metadata> value_to_metadata(PyObject* value) {
  if (auto text = as_text(value)) {
    return text;
  }
  if (auto integer = as_integer(value)) {
    return integer;
  }
  return as_float(value);
}

PyResult<MetadataRecord> build_metadata_record(const Schema& schema,
                                               const std::vector<NamedObject>& pairs) {
  std::unordered_map<std::string_view, PyObject*> by_name;
  for (const NamedObject& pair : pairs) {
    by_name.insert_or_assign(pair.first, pair.second.get());
  }
  MetadataRecord record;
  record.reserve(schema.size());
  for (const std::string& attribute : schema) {
    auto found = by_name.find(attribute);
    if (found == by_name.end()) {
      return std::unexpected(metadata_error("Missing metadata for attribute '", attribute));
    }
    auto value = value_to_metadata(found->second);
    if (!value) {
      return std::unexpected(
          metadata_error("Unsupported metadata type for attribute '", attribute));
    }
    record.push_back(std::move(*value));
  }
  return record;
}

}  // namespace halqen::py
