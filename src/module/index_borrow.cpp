#include "module/index_borrow.hpp"

#include "module/instance.hpp"
#include "module/module_state.hpp"

namespace halqen::py {
namespace {

constexpr bool kShared = true;
constexpr const char* kEitherIndex = "PyFlat | PyHNSW";

}  // namespace

PyResult<BorrowedIndex> BorrowedIndex::borrow(PyObject* object) {
  const ModuleState& state = module_state();
  if (auto* flat = Instance<FlatIndex>::exact(object, state.flat_type)) {
    HALQEN_TRY_ASSIGN(BorrowGuard guard, BorrowGuard::acquire(flat->borrow, kShared));
    return BorrowedIndex(Ref::borrow(object), &flat->record, std::move(guard));
  }
  if (auto* hnsw = Instance<HNSW>::exact(object, state.hnsw_type)) {
    HALQEN_TRY_ASSIGN(BorrowGuard guard, BorrowGuard::acquire(hnsw->borrow, kShared));
    return BorrowedIndex(Ref::borrow(object), &hnsw->record, std::move(guard));
  }
  return std::unexpected(downcast_error(object, kEitherIndex));
}

}  // namespace halqen::py
