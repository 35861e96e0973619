// Visiting a variant with one lambda per alternative: std::visit(Overloaded{...}, value).
#pragma once

namespace mdspeak {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace mdspeak
