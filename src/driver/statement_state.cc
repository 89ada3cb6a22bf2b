#include "driver/statement_state.h"

#include <utility>

namespace zv {

// Every transition names each state: a new state does not compile until each
// one says what becomes of it.

StatementState WithSql(StatementState state, std::string sql) {
  struct Transition {
    std::string& sql;
    StatementState operator()(NoCommand&) { return SqlCommand{std::move(sql)}; }
    StatementState operator()(SqlCommand&) { return SqlCommand{std::move(sql)}; }
    StatementState operator()(BoundData& s) {
      return SqlWithBoundData{std::move(sql), std::move(s.data)};
    }
    StatementState operator()(SqlWithBoundData& s) {
      return SqlWithBoundData{std::move(sql), std::move(s.data)};
    }
  };
  return std::visit(Transition{sql}, state);
}

StatementState WithBoundData(StatementState state, OwnedArrowStream data) {
  struct Transition {
    OwnedArrowStream& data;
    StatementState operator()(NoCommand&) { return BoundData{std::move(data)}; }
    StatementState operator()(SqlCommand& s) {
      return SqlWithBoundData{std::move(s.sql), std::move(data)};
    }
    StatementState operator()(BoundData&) { return BoundData{std::move(data)}; }
    StatementState operator()(SqlWithBoundData& s) {
      return SqlWithBoundData{std::move(s.sql), std::move(data)};
    }
  };
  return std::visit(Transition{data}, state);
}

StatementState WithoutBoundData(StatementState state) {
  struct Transition {
    StatementState operator()(NoCommand&) { return NoCommand{}; }
    StatementState operator()(SqlCommand& s) { return SqlCommand{std::move(s.sql)}; }
    StatementState operator()(BoundData&) { return NoCommand{}; }
    StatementState operator()(SqlWithBoundData& s) { return SqlCommand{std::move(s.sql)}; }
  };
  return std::visit(Transition{}, state);
}

StatementState WithoutSpentData(StatementState state) {
  struct Spent {
    bool operator()(const NoCommand&) const { return false; }
    bool operator()(const SqlCommand&) const { return false; }
    bool operator()(const BoundData& s) const { return !s.data.bound(); }
    bool operator()(const SqlWithBoundData& s) const { return !s.data.bound(); }
  };
  if (!std::visit(Spent{}, state)) return state;
  return WithoutBoundData(std::move(state));
}

const std::string* SqlOf(const StatementState& state) {
  struct Sql {
    const std::string* operator()(const NoCommand&) const { return nullptr; }
    const std::string* operator()(const SqlCommand& s) const { return &s.sql; }
    const std::string* operator()(const BoundData&) const { return nullptr; }
    const std::string* operator()(const SqlWithBoundData& s) const { return &s.sql; }
  };
  return std::visit(Sql{}, state);
}

}  // namespace zv
