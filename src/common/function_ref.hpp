// A non-owning reference to a callable, as std::function_ref will be: no
// allocation, one indirect call. The callable must outlive the reference.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace halqen {

template <class Signature>
class FunctionRef;

template <class Result, class... Args>
class FunctionRef<Result(Args...)> {
 public:
  template <class Fn>
  requires(!std::is_same_v<std::remove_cvref_t<Fn>, FunctionRef> &&
           std::is_invocable_r_v<Result, Fn&, Args...>) FunctionRef(Fn&& fn)
  noexcept  // NOLINT(google-explicit-constructor): a lambda converts
      : target_(const_cast<void*>(static_cast<const void*>(std::addressof(fn)))),
        call_([](void* target, Args... args) -> Result {
          return (*static_cast<std::remove_reference_t<Fn>*>(target))(std::forward<Args>(args)...);
        }) {}

  Result operator()(Args... args) const { return call_(target_, std::forward<Args>(args)...); }

 private:
  void* target_;
  Result (*call_)(void*, Args...);
};

}  // namespace halqen
