#include "snapshot/snapshot_fetch_gate.h"

#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "util/no_destructor.h"

namespace zv {

struct SnapshotFetchGate::Flight {
  bool done = false;
  arrow::Status outcome;
};

namespace {

struct GateState {
  std::mutex mu;
  std::condition_variable finished;
  std::unordered_map<std::string, std::shared_ptr<SnapshotFetchGate::Flight>> flights;
};

GateState& State() {
  static NoDestructor<GateState> state;
  return *state;
}

}  // namespace

SnapshotFetchGate::SnapshotFetchGate(std::string key) : key_(std::move(key)) {
  if (key_.empty()) return;
  GateState& st = State();
  std::lock_guard<std::mutex> lock(st.mu);
  auto [it, inserted] = st.flights.try_emplace(key_, nullptr);
  if (inserted) it->second = std::make_shared<Flight>();
  flight_ = it->second;
  leads_ = inserted;
}

SnapshotFetchGate::~SnapshotFetchGate() {
  if (leads_ && !finished_) Finish(arrow::Status::IOError("snapshot fetch abandoned"));
}

void SnapshotFetchGate::Finish(const arrow::Status& outcome) {
  if (!leads_ || finished_) return;
  finished_ = true;
  if (flight_ == nullptr) return;
  GateState& st = State();
  {
    std::lock_guard<std::mutex> lock(st.mu);
    flight_->done = true;
    flight_->outcome = outcome;
    st.flights.erase(key_);
  }
  st.finished.notify_all();
}

arrow::Status SnapshotFetchGate::Wait() {
  if (leads_ || flight_ == nullptr) return arrow::Status::OK();
  GateState& st = State();
  std::unique_lock<std::mutex> lock(st.mu);
  st.finished.wait(lock, [this] { return flight_->done; });
  return flight_->outcome;
}

}  // namespace zv
