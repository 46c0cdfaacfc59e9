#include "module/args.hpp"

#include <cstring>
#include <vector>

namespace halqen::py {
namespace {

std::string plural(std::size_t count, const char* one, const char* many) {
  return count == 1 ? one : many;
}

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) {
        text += ",";
      }
      text += (i + 1 == names.size()) ? " and " : " ";
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

PyErr type_error(std::string message) {
  return PyErr::new_err(PyExc_TypeError, std::move(message));
}

// Fills parameter slots from one call's arguments, in the order the parsers
// walk them.
class ArgumentMatcher {
 public:
  ArgumentMatcher(const FunctionDescription& desc, PyObject** slots) : desc_(desc), slots_(slots) {}

  PyResult<void> take_positional(PyObject* const* items, std::size_t count) {
    const std::size_t capacity = desc_.parameter_names.size();
    if (count > capacity) {
      return std::unexpected(too_many(count));
    }
    for (std::size_t i = 0; i < count; ++i) {
      slots_[i] = items[i];
    }
    positional_given_ = count;
    return {};
  }

  PyResult<void> take_keyword(PyObject* name, PyObject* value) {
    std::string_view text;
    if (!utf8_name(name, text)) {
      return std::unexpected(unexpected_keyword(name));
    }
    for (std::size_t i = 0; i < desc_.parameter_names.size(); ++i) {
      if (desc_.parameter_names[i] == text) {
        return fill(i, desc_.parameter_names[i], value);
      }
    }
    return std::unexpected(unexpected_keyword(name));
  }

  PyResult<void> finish() {
    std::vector<std::string_view> missing;
    for (std::size_t i = positional_given_; i < desc_.required_count; ++i) {
      if (slots_[i] == nullptr) {
        missing.push_back(desc_.parameter_names[i]);
      }
    }
    if (!missing.empty()) {
      return std::unexpected(missing_error("positional", missing));
    }
    return {};
  }

 private:
  static bool utf8_name(PyObject* name, std::string_view& text) {
    if (!PyUnicode_Check(name)) {
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();  // not valid text: matches no parameter
      return false;
    }
    text = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
  }

  PyResult<void> fill(std::size_t slot, std::string_view name, PyObject* value) {
    if (slots_[slot] != nullptr) {
      return std::unexpected(type_error(desc_.full_name() + " got multiple values for argument '" +
                                        std::string(name) + "'"));
    }
    slots_[slot] = value;
    return {};
  }

  PyErr too_many(std::size_t given) const {
    const std::size_t total = desc_.parameter_names.size();
    std::string text = desc_.full_name() + " takes ";
    if (desc_.required_count == total) {
      text += std::to_string(total);
    } else {
      text += "from " + std::to_string(desc_.required_count) + " to " + std::to_string(total);
    }
    text += " positional arguments but " + std::to_string(given) + " " +
            plural(given, "was", "were") + " given";
    return type_error(std::move(text));
  }

  PyErr unexpected_keyword(PyObject* name) const {
    const std::string prefix = desc_.full_name() + " got an unexpected keyword argument '";
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%S'", prefix.c_str(), name));
    if (!message) {
      return PyErr::fetch();
    }
    return PyErr::new_err(PyExc_TypeError, std::move(message));
  }

  PyErr missing_error(const char* kind, const std::vector<std::string_view>& names) const {
    return type_error(desc_.full_name() + " missing " + std::to_string(names.size()) +
                      " required " + kind + " " + plural(names.size(), "argument", "arguments") +
                      ": " + quoted_list(names));
  }

  const FunctionDescription& desc_;
  PyObject** slots_;
  std::size_t positional_given_ = 0;
};

}  // namespace

std::string FunctionDescription::full_name() const {
  std::string name;
  if (!class_name.empty()) {
    name += class_name;
    name += ".";
  }
  name += function_name;
  name += "()";
  return name;
}

PyResult<void> extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  ArgumentMatcher matcher(desc, slots);
  HALQEN_TRY_VOID(matcher.take_positional(args, static_cast<std::size_t>(nargs)));
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keyword_count; ++i) {
    HALQEN_TRY_VOID(matcher.take_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
  }
  return matcher.finish();
}

PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args,
                                            PyObject* kwargs, PyObject** slots) {
  ArgumentMatcher matcher(desc, slots);
  HALQEN_TRY_VOID(matcher.take_positional(PySequence_Fast_ITEMS(args),
                                          static_cast<std::size_t>(PyTuple_GET_SIZE(args))));
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      HALQEN_TRY_VOID(matcher.take_keyword(name, value));
    }
  }
  return matcher.finish();
}

}  // namespace halqen::py
