// Builds one visitor for std::visit out of several lambdas.
#pragma once

namespace zv_sql {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace zv_sql
