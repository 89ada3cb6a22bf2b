#include "stream/cancel_scope.h"

#include <algorithm>

#include "stream/query.h"

namespace zv {

void CancelScope::Add(ZVQuery* query) {
  std::lock_guard<std::mutex> lock(mu_);
  queries_.push_back(query);
  latest_ = query->progress();
}

void CancelScope::Remove(ZVQuery* query) {
  std::lock_guard<std::mutex> lock(mu_);
  queries_.erase(std::remove(queries_.begin(), queries_.end(), query), queries_.end());
}

void CancelScope::Track(std::shared_ptr<ExecProgress> progress) {
  std::lock_guard<std::mutex> lock(mu_);
  latest_ = std::move(progress);
}

ExecProgressReading CancelScope::LatestProgress() {
  std::lock_guard<std::mutex> lock(mu_);
  return latest_ ? latest_->Read() : ExecProgressReading{};
}

void CancelScope::CancelAll() {
  generation_.fetch_add(1);
  // Under the lock: a query cannot be closed (and freed) while it is being
  // cancelled, since closing removes it from here first.
  std::lock_guard<std::mutex> lock(mu_);
  for (ZVQuery* query : queries_) query->Cancel();
  if (stop_) stop_();
}

void CancelScope::SetStop(std::function<void()> stop) {
  std::lock_guard<std::mutex> lock(mu_);
  stop_ = std::move(stop);
}

void CancelScope::ClearStop() {
  std::lock_guard<std::mutex> lock(mu_);
  stop_ = nullptr;
}

ScopedStop::ScopedStop(std::shared_ptr<CancelScope> scope, std::function<void()> stop)
    : scope_(std::move(scope)) {
  if (scope_) scope_->SetStop(std::move(stop));
}

ScopedStop::~ScopedStop() {
  if (scope_) scope_->ClearStop();
}

}  // namespace zv
