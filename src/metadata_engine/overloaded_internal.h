// Builds one visitor for std::visit out of several lambdas.
#pragma once

namespace zv_sql {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

// Spelled out for compilers without aggregate deduction (clang 14 builds the
// fuzz target).
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace zv_sql
