// FunctionRef<R(Args...)>: a non-owning reference to a callable, two words,
// copied by value. Parallel loops take their body this way so that starting
// a loop never allocates (std::function may). The referenced callable must
// outlive every call made through the reference; a loop guarantees that by
// blocking its caller until the last item has finished.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace pinnet::core {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  // Plain functions (and references to them) are held by pointer.
  FunctionRef(R (*fn)(Args...)) noexcept : call_(&call_function) { target_.fn = fn; }

  // Any other callable is held by address; a temporary lambda passed straight
  // into a call lives until that call returns, which is long enough.
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
             !std::is_function_v<std::remove_reference_t<F>> &&
             std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& f) noexcept : call_(&call_object<std::remove_reference_t<F>>) {
    target_.obj = const_cast<void*>(static_cast<const void*>(std::addressof(f)));
  }

  R operator()(Args... args) const { return call_(target_, std::forward<Args>(args)...); }

 private:
  union Target {
    void* obj;
    R (*fn)(Args...);
  };

  template <class F>
  static R call_object(Target t, Args... args) {
    return std::invoke(*static_cast<F*>(t.obj), std::forward<Args>(args)...);
  }
  static R call_function(Target t, Args... args) {
    return t.fn(std::forward<Args>(args)...);
  }

  Target target_;
  R (*call_)(Target, Args...);
};

}  // namespace pinnet::core
