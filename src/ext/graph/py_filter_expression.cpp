#include "ext/graph/py_filter_expression.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/convert.hpp"
#include "module/py_metadata.hpp"

namespace halqen::py {
namespace {

constexpr const char* kOperatorList = "$eq, $ne, $gt, $gte, $lt, $lte, $in, $nin";

PyErr filter_error(const std::string& message) {
  return PyErr::new_err(PyExc_ValueError, "filter: " + message);
}

// "'$gte' on 'year'": how a message names an operator of an attribute.
std::string operator_on(std::string_view op, std::string_view attribute) {
  return "'" + std::string(op) + "' on '" + std::string(attribute) + "'";
}

bool is_list(PyObject* o) {
  return PyList_Check(o) || PyTuple_Check(o);
}

// An operator's name as text; "" for a key that is no str (or not UTF-8).
std::string key_text(PyObject* key) {
  if (!PyUnicode_Check(key)) return "";
  const char* text = PyUnicode_AsUTF8(key);
  if (text == nullptr) {
    PyErr_Clear();
    return "";
  }
  return text;
}

// A list's or a tuple's items, or a dict's (key, value) pairs, held in a
// tuple of our own: converting a value may run Python code (__index__,
// __float__) that changes the caller's list or dict under the loop.
PyResult<Ref> held_items(PyObject* o) {
  Ref items = Ref::steal(PyDict_Check(o) ? PySequence_Tuple(Ref::steal(PyDict_Items(o)).get())
                                         : PySequence_Tuple(o));
  if (!items) return fetch_error();
  return items;
}

std::span<PyObject* const> span_of(const Ref& tuple) {
  return {&PyTuple_GET_ITEM(tuple.get(), 0),
          static_cast<std::size_t>(PyTuple_GET_SIZE(tuple.get()))};
}

class FilterParser {
 public:
  explicit FilterParser(const Schema& schema) : schema_(schema) {}

  // A dict: its entries joined by and.
  PyResult<FilterExpression> expression(PyObject* given, std::size_t depth,
                                        std::string_view where) {
    if (depth > kDeepestFilter) {
      return std::unexpected(
          filter_error("it nests deeper than " + std::to_string(kDeepestFilter) + " levels"));
    }
    if (!PyDict_Check(given)) {
      return std::unexpected(filter_error(std::string(where) + " is a dict such as " +
                                          "{\"name\": value} or {\"$and\": [...]}, got '" +
                                          type_name(given) + "'"));
    }
    if (PyDict_Size(given) == 0) {
      return std::unexpected(filter_error(std::string(where) +
                                          " is an empty dict: name an attribute or an operator "
                                          "($and, $or, $not, $id)"));
    }
    std::vector<FilterExpression> terms;
    HALQEN_TRY_ASSIGN(const Ref entries, held_items(given));
    for (PyObject* pair : span_of(entries)) {
      PyObject* key = PyTuple_GET_ITEM(pair, 0);
      PyObject* value = PyTuple_GET_ITEM(pair, 1);
      if (!PyUnicode_Check(key)) {
        return std::unexpected(
            filter_error("a key is an attribute name or an operator (a str), "
                         "got '" +
                         type_name(key) + "'"));
      }
      HALQEN_TRY_ASSIGN(std::string name, extract_string(key));
      HALQEN_TRY_ASSIGN(FilterExpression term, entry(name, value, depth));
      terms.push_back(std::move(term));
    }
    if (terms.size() == 1) return std::move(terms.front());
    return FilterExpression::all_of(std::move(terms));
  }

 private:
  PyResult<FilterExpression> entry(const std::string& key, PyObject* value, std::size_t depth) {
    if (key == "$and" || key == "$or") return combined(key, value, depth);
    if (key == "$not") {
      HALQEN_TRY_ASSIGN(FilterExpression operand,
                        expression(value, depth + 1, "the operand of '$not'"));
      return FilterExpression::negation(std::move(operand));
    }
    if (key == "$id") return id_test(value);
    if (key.starts_with("$")) {
      return std::unexpected(filter_error("'" + key +
                                          "' is no operator of a filter dict: expected an "
                                          "attribute name, $and, $or, $not or $id"));
    }
    const auto position = std::ranges::find(schema_, key);
    if (position == schema_.end()) {
      return std::unexpected(filter_error("attribute '" + key + "' is not in the schema"));
    }
    return attribute(key, static_cast<std::size_t>(position - schema_.begin()), value);
  }

  PyResult<FilterExpression> combined(const std::string& key, PyObject* value, std::size_t depth) {
    if (!is_list(value) || PySequence_Size(value) == 0) {
      return std::unexpected(filter_error("'" + key + "' takes a non-empty list of filter " +
                                          "dicts, got '" + type_name(value) + "'" +
                                          (is_list(value) ? " with none" : "")));
    }
    std::vector<FilterExpression> operands;
    HALQEN_TRY_ASSIGN(const Ref items, held_items(value));
    for (PyObject* item : span_of(items)) {
      HALQEN_TRY_ASSIGN(FilterExpression operand,
                        expression(item, depth + 1, "an operand of '" + key + "'"));
      operands.push_back(std::move(operand));
    }
    if (key == "$and") return FilterExpression::all_of(std::move(operands));
    return FilterExpression::one_of(std::move(operands));
  }

  // {"name": value} (equality) or {"name": {"$op": operand, ...}} (joined by and).
  PyResult<FilterExpression> attribute(const std::string& name, std::size_t position,
                                       PyObject* value) {
    if (is_list(value)) {
      return std::unexpected(filter_error("the value of '" + name + "' is a list: write {\"" +
                                          name +
                                          "\": {\"$in\": [...]}} for any of several values"));
    }
    if (!PyDict_Check(value)) {
      HALQEN_TRY_ASSIGN(Metadata single, metadata_value(name, "$eq", value));
      return FilterExpression::any_of(position, {std::move(single)});
    }
    if (PyDict_Size(value) == 0) {
      return std::unexpected(filter_error("'" + name + "' is given an empty dict: expected " +
                                          "one or more of " + kOperatorList));
    }
    std::vector<FilterExpression> tests;
    HALQEN_TRY_ASSIGN(const Ref entries, held_items(value));
    for (PyObject* pair : span_of(entries)) {
      PyObject* key = PyTuple_GET_ITEM(pair, 0);
      PyObject* operand = PyTuple_GET_ITEM(pair, 1);
      const std::string op = key_text(key);
      HALQEN_TRY_ASSIGN(FilterExpression test, comparison(name, position, op, key, operand));
      tests.push_back(std::move(test));
    }
    if (tests.size() == 1) return std::move(tests.front());
    return FilterExpression::all_of(std::move(tests));
  }

  PyResult<FilterExpression> comparison(const std::string& name, std::size_t position,
                                        const std::string& op, PyObject* key, PyObject* operand) {
    if (op == "$eq" || op == "$ne") {
      HALQEN_TRY_ASSIGN(Metadata single, metadata_value(name, op, operand));
      FilterExpression equal = FilterExpression::any_of(position, {std::move(single)});
      return op == "$eq" ? std::move(equal) : FilterExpression::negation(std::move(equal));
    }
    if (op == "$in" || op == "$nin") {
      HALQEN_TRY_ASSIGN(std::vector<Metadata> values, metadata_values(name, op, operand));
      FilterExpression any = FilterExpression::any_of(position, std::move(values));
      return op == "$in" ? std::move(any) : FilterExpression::negation(std::move(any));
    }
    const bool below = op == "$lt" || op == "$lte";
    if (below || op == "$gt" || op == "$gte") {
      HALQEN_TRY_ASSIGN(Metadata number, bound(name, op, operand));
      RangeEnd end{.number = std::move(number), .inclusive = op.ends_with("e")};
      if (below) return FilterExpression::range(position, std::nullopt, std::move(end));
      return FilterExpression::range(position, std::move(end), std::nullopt);
    }
    const std::string shown = PyUnicode_Check(key) ? "'" + op + "'" : "'" + type_name(key) + "'";
    return std::unexpected(filter_error("operator " + shown + " on '" + name +
                                        "' is unknown: expected one of " + kOperatorList));
  }

  PyResult<Metadata> metadata_value(const std::string& name, std::string_view op, PyObject* given) {
    std::optional<Metadata> value =
        PyDict_Check(given) || is_list(given) ? std::nullopt : value_to_metadata(given);
    if (!value) {
      return std::unexpected(filter_error(operator_on(op, name) +
                                          " takes a str, an int or a float, got '" +
                                          type_name(given) + "'"));
    }
    return std::move(*value);
  }

  PyResult<std::vector<Metadata>> metadata_values(const std::string& name, std::string_view op,
                                                  PyObject* given) {
    if (!is_list(given)) {
      return std::unexpected(filter_error(operator_on(op, name) + " takes a list of values, got '" +
                                          type_name(given) + "'"));
    }
    std::vector<Metadata> values;
    HALQEN_TRY_ASSIGN(const Ref items, held_items(given));
    for (PyObject* item : span_of(items)) {
      HALQEN_TRY_ASSIGN(Metadata value, metadata_value(name, op, item));
      values.push_back(std::move(value));
    }
    return values;
  }

  // A range's bound: an int within 64 bits or a float that is not NaN
  // (numpy's scalars included).
  PyResult<Metadata> bound(const std::string& name, std::string_view op, PyObject* given) {
    const bool text = PyUnicode_Check(given) || PyBytes_Check(given) || PyByteArray_Check(given);
    const bool container = PyDict_Check(given) || is_list(given);
    std::optional<Metadata> value = text || container ? std::nullopt : value_to_metadata(given);
    if (!value) {
      PyErr_Clear();
      return std::unexpected(filter_error(operator_on(op, name) +
                                          " takes a number (an int or a float), got '" +
                                          type_name(given) + "'"));
    }
    const bool integer = PyLong_Check(given) || PyIndex_Check(given);
    if (integer && !std::holds_alternative<std::int64_t>(value->value)) {
      return std::unexpected(
          filter_error(operator_on(op, name) + " takes an int from -2**63 to 2**63 - 1"));
    }
    if (const auto* real = std::get_if<double>(&value->value); real && std::isnan(*real)) {
      return std::unexpected(filter_error(operator_on(op, name) + " takes a number, not NaN"));
    }
    return std::move(*value);
  }

  // {"$id": id}, {"$id": {"$in": [ids]}}, {"$id": {"$nin": [ids]}}, $eq, $ne.
  PyResult<FilterExpression> id_test(PyObject* value) {
    if (!PyDict_Check(value)) {
      HALQEN_TRY_ASSIGN(std::uint64_t id, one_id("$eq", value));
      return FilterExpression::id_in({id});
    }
    if (PyDict_Size(value) != 1) {
      return std::unexpected(
          filter_error("'$id' takes an id or a dict of one operator ($eq, $ne, $in or $nin)"));
    }
    HALQEN_TRY_ASSIGN(const Ref entries, held_items(value));
    PyObject* key = PyTuple_GET_ITEM(PyTuple_GET_ITEM(entries.get(), 0), 0);
    PyObject* operand = PyTuple_GET_ITEM(PyTuple_GET_ITEM(entries.get(), 0), 1);
    const std::string op = key_text(key);
    std::vector<std::uint64_t> ids;
    if (op == "$eq" || op == "$ne") {
      HALQEN_TRY_ASSIGN(std::uint64_t id, one_id(op, operand));
      ids.push_back(id);
    } else if (op == "$in" || op == "$nin") {
      if (!is_list(operand)) {
        return std::unexpected(filter_error("'" + op + "' on '$id' takes a list of ids, got '" +
                                            type_name(operand) + "'"));
      }
      HALQEN_TRY_ASSIGN(const Ref items, held_items(operand));
      for (PyObject* item : span_of(items)) {
        HALQEN_TRY_ASSIGN(std::uint64_t id, one_id(op, item));
        ids.push_back(id);
      }
    } else {
      return std::unexpected(
          filter_error("the operator of '$id' is one of $eq, $ne, $in and $nin, got '" +
                       (PyUnicode_Check(key) ? op : type_name(key)) + "'"));
    }
    FilterExpression listed = FilterExpression::id_in(std::move(ids));
    if (op == "$eq" || op == "$in") return listed;
    return FilterExpression::negation(std::move(listed));
  }

  PyResult<std::uint64_t> one_id(std::string_view op, PyObject* given) {
    const std::optional<Metadata> value =
        PyLong_Check(given) || PyIndex_Check(given) ? value_to_metadata(given) : std::nullopt;
    const auto* id = value ? std::get_if<std::int64_t>(&value->value) : nullptr;
    if (id == nullptr || *id < 0) {
      const std::string shown = id != nullptr ? std::to_string(*id) : "'" + type_name(given) + "'";
      return std::unexpected(filter_error(operator_on(op, "$id") +
                                          " takes ids, ints from 0 to 2**63 - 1, got " + shown));
    }
    return static_cast<std::uint64_t>(*id);
  }

  const Schema& schema_;
};

}  // namespace

PyResult<FilterExpression> parse_filter(PyObject* given, const Schema& schema) {
  FilterParser parser(schema);
  return parser.expression(given, 1, "the filter");
}

}  // namespace halqen::py
