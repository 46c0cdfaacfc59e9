// The one protocol by which every constructor and method is entered:
// parse, borrow, convert, run, build, release, under one failure trap.
//
// A class writes its code as plain functions over converted values:
//   PyResult<Record> construct(Params...);               // constructor
//   PyResult<Result> method(const Record&, Params...);   // shared borrow
//   PyResult<Result> method(Record&, Params...);         // exclusive borrow
// and a module its functions as
//   PyResult<Result> function(Params...);
// Each parameter type names its conversion (FromPython<T>); std::optional<T>
// marks a parameter that may be omitted or None. The templates below do the
// rest, identically for every entry point.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <new>
#include <optional>
#include <source_location>
#include <span>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/size_refused.hpp"
#include "module/args.hpp"
#include "module/build.hpp"
#include "module/convert.hpp"
#include "module/instance.hpp"
#include "module/panic.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// Runs an entry point's body; no C++ exception leaves it. Internal failures
// become PanicException, allocation failures MemoryError.
template <class Body>
PyObject* run_trapped(Body&& body) noexcept {
  try {
    PyResult<Ref> result = body();
    if (result) {
      return result->release();
    }
    std::move(result).error().restore();
  } catch (const Panic& failure) {
    raise_panic(failure.what(), failure.where());
  } catch (const SizeRefused& refused) {
    PyErr_SetString(PyExc_MemoryError, refused.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a size beyond anything that could be allocated
  } catch (const std::exception& failure) {
    raise_panic(failure.what(), std::source_location::current());
  } catch (...) {
    raise_panic("unknown internal failure", std::source_location::current());
  }
  return nullptr;
}

namespace detail {

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class F>
struct MethodSignature;
template <class R, class Record, class... Params>
struct MethodSignature<R (*)(Record&, Params...)> {
  using RecordType = std::remove_const_t<Record>;
  static constexpr bool kShared = std::is_const_v<Record>;
  using Parameters = std::tuple<std::decay_t<Params>...>;
};

template <class F>
struct FunctionSignature;
template <class R, class... Params>
struct FunctionSignature<PyResult<R> (*)(Params...)> {
  using Parameters = std::tuple<std::decay_t<Params>...>;
};

template <class F>
struct ConstructorSignature;
template <class Record, class... Params>
struct ConstructorSignature<PyResult<Record> (*)(Params...)> {
  using RecordType = Record;
  using Parameters = std::tuple<std::decay_t<Params>...>;
};

// Converts the parameter slots in order; the first failure ends it, reported
// under that parameter's name.
template <class Parameters, std::size_t... I>
PyResult<Parameters> convert_parameters(const FunctionDescription& desc, PyObject* const* slots,
                                        std::index_sequence<I...>) {
  std::tuple<std::optional<std::tuple_element_t<I, Parameters>>...> converted;
  std::optional<PyErr> failure;
  [[maybe_unused]] auto convert_one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
    using T = std::tuple_element_t<K, Parameters>;
    if constexpr (!IsOptional<T>::value) {
      if (slots[K] == nullptr) {
        throw Panic("required parameter '" + std::string(desc.parameter_names[K]) +
                    "' reached conversion without a value");
      }
    }
    auto value = FromPython<T>::convert(slots[K]);
    if (!value) {
      failure.emplace(argument_extraction_error(desc.parameter_names[K], std::move(value).error()));
      return false;
    }
    std::get<K>(converted).emplace(std::move(*value));
    return true;
  };
  if (!(convert_one(std::integral_constant<std::size_t, I>{}) && ...)) {
    return std::unexpected(std::move(*failure));
  }
  return Parameters(std::move(*std::get<I>(converted))...);
}

template <class Parameters>
PyResult<Parameters> convert_all(const FunctionDescription& desc, PyObject* const* slots) {
  return convert_parameters<Parameters>(desc, slots,
                                        std::make_index_sequence<std::tuple_size_v<Parameters>>());
}

template <class Parameters>
using SlotArray =
    std::array<PyObject*, std::tuple_size_v<Parameters> == 0 ? 1 : std::tuple_size_v<Parameters>>;

}  // namespace detail

// The method-table entry (vectorcall convention with keyword names).
template <auto Method, const FunctionDescription& Desc>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Signature = detail::MethodSignature<decltype(Method)>;
  using Parameters = typename Signature::Parameters;
  static_assert(Desc.slot_count() == std::tuple_size_v<Parameters>);
  return run_trapped([&]() -> PyResult<Ref> {
    detail::SlotArray<Parameters> slots{};
    HALQEN_TRY_VOID(extract_arguments_fastcall(Desc, args, nargs, kwnames, slots.data()));
    auto* instance = Instance<typename Signature::RecordType>::of(self);
    HALQEN_TRY_ASSIGN(
        BorrowGuard guard,
        BorrowGuard::acquire(
            instance->borrow,
            Signature::kShared || GateRules<typename Signature::RecordType>::kWaitsItsTurn));
    HALQEN_TRY_ASSIGN(Parameters values, detail::convert_all<Parameters>(Desc, slots.data()));
    HALQEN_TRY_ASSIGN(
        auto result,
        std::apply([&](auto&&... params) { return Method(instance->record, std::move(params)...); },
                   std::move(values)));
    return to_python(result);
  });
}

// The method-table entry of a module-level function
//   PyResult<Result> function(Params...);
// Parameters are converted as for methods; an index parameter
// (module/index_borrow.hpp) holds its borrow until the call returns.
template <auto Function, const FunctionDescription& Desc>
PyObject* function_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  using Parameters = typename detail::FunctionSignature<decltype(Function)>::Parameters;
  static_assert(Desc.slot_count() == std::tuple_size_v<Parameters>);
  return run_trapped([&]() -> PyResult<Ref> {
    detail::SlotArray<Parameters> slots{};
    HALQEN_TRY_VOID(extract_arguments_fastcall(Desc, args, nargs, kwnames, slots.data()));
    HALQEN_TRY_ASSIGN(Parameters values, detail::convert_all<Parameters>(Desc, slots.data()));
    HALQEN_TRY_ASSIGN(auto result,
                      std::apply([&](auto&&... params) { return Function(std::move(params)...); },
                                 std::move(values)));
    return to_python(result);
  });
}

// The type's new slot.
template <auto Construct, const FunctionDescription& Desc>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  using Signature = detail::ConstructorSignature<decltype(Construct)>;
  using Parameters = typename Signature::Parameters;
  using Record = typename Signature::RecordType;
  static_assert(Desc.slot_count() == std::tuple_size_v<Parameters>);
  return run_trapped([&]() -> PyResult<Ref> {
    detail::SlotArray<Parameters> slots{};
    HALQEN_TRY_VOID(extract_arguments_tuple_dict(Desc, args, kwargs, slots.data()));
    HALQEN_TRY_ASSIGN(Parameters values, detail::convert_all<Parameters>(Desc, slots.data()));
    HALQEN_TRY_ASSIGN(Record record,
                      std::apply([&](auto&&... params) { return Construct(std::move(params)...); },
                                 std::move(values)));
    return Instance<Record>::create(reinterpret_cast<PyObject*>(type), std::move(record));
  });
}

// What a constructor makes of keyword arguments `kwargs` (a dict) before it
// builds an index: `Settle`, PyResult<Settings> settle(Params...), is the
// part of the constructor that checks them, and the arguments are parsed
// and converted as the constructor's (Desc), so the same arguments are
// refused with the same errors.
template <auto Settle, const FunctionDescription& Desc>
auto settings_entry(PyObject* kwargs)
    -> PyResult<typename detail::ConstructorSignature<decltype(Settle)>::RecordType> {
  using Parameters = typename detail::ConstructorSignature<decltype(Settle)>::Parameters;
  static_assert(Desc.slot_count() == std::tuple_size_v<Parameters>);
  Ref no_positionals = Ref::steal(PyTuple_New(0));
  if (!no_positionals) {
    return fetch_error();
  }
  detail::SlotArray<Parameters> slots{};
  HALQEN_TRY_VOID(extract_arguments_tuple_dict(Desc, no_positionals.get(), kwargs, slots.data()));
  HALQEN_TRY_ASSIGN(Parameters values, detail::convert_all<Parameters>(Desc, slots.data()));
  return std::apply([&](auto&&... params) { return Settle(std::move(params)...); },
                    std::move(values));
}

// A method's checks as an entry of their own (module/py_kind.hpp's
// CheckEntry): PyResult<void> check(const Settings&, Params...), its
// arguments parsed and converted as the method's (Desc), then checked
// against an index's settings rather than an index.
template <auto Check, const FunctionDescription& Desc>
PyResult<void> check_entry(
    const typename detail::MethodSignature<decltype(Check)>::RecordType& settings,
    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Parameters = typename detail::MethodSignature<decltype(Check)>::Parameters;
  static_assert(Desc.slot_count() == std::tuple_size_v<Parameters>);
  detail::SlotArray<Parameters> slots{};
  HALQEN_TRY_VOID(extract_arguments_fastcall(Desc, args, nargs, kwnames, slots.data()));
  HALQEN_TRY_ASSIGN(Parameters values, detail::convert_all<Parameters>(Desc, slots.data()));
  return std::apply([&](auto&&... params) { return Check(settings, std::move(params)...); },
                    std::move(values));
}

// A new type object for a class whose record is built by `Construct` (a new
// reference), or null with an error set if creation fails.
template <auto Construct, const FunctionDescription& Desc>
PyObject* create_class_type(const char* qualified_name, const char* doc, PyMethodDef* methods,
                            std::span<const PyType_Slot> extra_slots = {}) {
  using Record = typename detail::ConstructorSignature<decltype(Construct)>::RecordType;
  return create_heap_type(qualified_name, doc, sizeof(Instance<Record>), methods,
                          constructor_entry<Construct, Desc>, Instance<Record>::dealloc,
                          extra_slots);
}

// A property's getter, PyResult<R> getter(const Record&), under a shared
// borrow.
template <auto Getter>
PyObject* getter_entry(PyObject* self, void* /*closure*/) {
  using Signature = detail::MethodSignature<decltype(Getter)>;
  static_assert(Signature::kShared);
  return run_trapped([&]() -> PyResult<Ref> {
    auto* instance = Instance<typename Signature::RecordType>::of(self);
    HALQEN_TRY_ASSIGN(BorrowGuard guard, BorrowGuard::acquire(instance->borrow, true));
    HALQEN_TRY_ASSIGN(auto result, Getter(instance->record));
    return to_python(result);
  });
}

// A property's setter, PyResult<NoneResult> setter(Record&, T), under an
// exclusive borrow; the value is converted as the parameter Desc names.
// Deleting the property is a TypeError.
template <auto Setter, const FunctionDescription& Desc>
int setter_entry(PyObject* self, PyObject* value, void* /*closure*/) {
  using Signature = detail::MethodSignature<decltype(Setter)>;
  using Parameters = typename Signature::Parameters;
  static_assert(Desc.slot_count() == 1 && std::tuple_size_v<Parameters> == 1);
  Ref done = Ref::steal(run_trapped([&]() -> PyResult<Ref> {
    if (value == nullptr) {
      return std::unexpected(PyErr::new_err(PyExc_TypeError, "cannot delete " + Desc.full_name()));
    }
    auto* instance = Instance<typename Signature::RecordType>::of(self);
    HALQEN_TRY_ASSIGN(
        BorrowGuard guard,
        BorrowGuard::acquire(instance->borrow,
                             GateRules<typename Signature::RecordType>::kWaitsItsTurn));
    PyObject* slots[] = {value};
    HALQEN_TRY_ASSIGN(Parameters values, detail::convert_all<Parameters>(Desc, slots));
    HALQEN_TRY_ASSIGN(auto result, Setter(instance->record, std::move(std::get<0>(values))));
    return to_python(result);
  }));
  return done ? 0 : -1;
}

// __len__: PyResult<std::uint64_t> length(const Record&).
template <auto Length>
Py_ssize_t length_entry(PyObject* self) {
  Ref length = Ref::steal(getter_entry<Length>(self, nullptr));
  return length ? PyLong_AsSsize_t(length.get()) : -1;
}

// __contains__: PyResult<bool> contains(const Record&, T), the key converted
// as the parameter Desc names.
template <auto Contains, const FunctionDescription& Desc>
int contains_entry(PyObject* self, PyObject* key) {
  PyObject* args[] = {key};
  Ref found = Ref::steal(method_entry<Contains, Desc>(self, args, 1, nullptr));
  return found ? PyObject_IsTrue(found.get()) : -1;
}

// A method-table entry for `method_entry<Method, Desc>`.
template <auto Method, const FunctionDescription& Desc>
constexpr PyMethodDef method_def(const char* name, const char* doc) {
  return {name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_entry<Method, Desc>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// A module's method-table entry for `function_entry<Function, Desc>`.
template <auto Function, const FunctionDescription& Desc>
constexpr PyMethodDef function_def(const char* name, const char* doc) {
  return {
      name,
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_entry<Function, Desc>)),
      METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace halqen::py
