#pragma once
// Visits a std::variant with one lambda per alternative.
namespace quorvan::host {

template <typename... Fns>
struct Overloaded : Fns... {
  using Fns::operator()...;
};
template <typename... Fns>
Overloaded(Fns...) -> Overloaded<Fns...>;

}  // namespace quorvan::host
