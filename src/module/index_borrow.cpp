#include "module/index_borrow.hpp"

#include <optional>
#include <type_traits>

#include "module/gate_pass.hpp"
#include "module/instance.hpp"
#include "module/module_state.hpp"
#include "module/py_kinds.hpp"

namespace halqen::py {
namespace {

constexpr bool kShared = true;

}  // namespace

PyResult<BorrowedIndex> BorrowedIndex::borrow(PyObject* object) {
  ModuleState& state = module_state();
  std::optional<PyResult<BorrowedIndex>> borrowed;
  kinds::IndexKinds::for_each([&]<class Core>(std::type_identity<Core>) {
    auto* instance = borrowed ? nullptr : Instance<Core>::exact(object, state.type_of<Core>());
    if (instance == nullptr) return;
    auto pass = whole_read_pass(instance->record);
    if (!pass) {
      borrowed.emplace(std::unexpected(std::move(pass).error()));
      return;
    }
    auto guard = BorrowGuard::acquire(instance->borrow, kShared);
    if (!guard) {
      borrowed.emplace(std::unexpected(std::move(guard).error()));
      return;
    }
    borrowed.emplace(
        BorrowedIndex(Ref::borrow(object), &instance->record, std::move(*pass), std::move(*guard)));
  });
  if (borrowed) return std::move(*borrowed);
  return std::unexpected(downcast_error(object, index_class_names().c_str()));
}

}  // namespace halqen::py
