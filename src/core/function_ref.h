// A non-owning reference to a callable, for objectives and loop bodies.
//
// Optimisers call their objective tens of thousands of times per fit; a
// std::function could allocate when it is built from a capturing lambda and
// adds a copy per call site. FunctionRef is two pointers and never allocates.
// The referenced callable must outlive the FunctionRef.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace korvel {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F,
              class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef> &&
                                       std::is_invocable_r_v<R, F&, Args...>>>
    FunctionRef(F&& f) noexcept  // NOLINT: implicit by design, like std::function
        : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_(&invoke<std::remove_reference_t<F>>) {}

    R operator()(Args... args) const { return call_(obj_, std::forward<Args>(args)...); }

private:
    template <class F>
    static R invoke(void* obj, Args... args) {
        return (*static_cast<F*>(obj))(std::forward<Args>(args)...);
    }

    void* obj_;
    R (*call_)(void*, Args...);
};

}  // namespace korvel
