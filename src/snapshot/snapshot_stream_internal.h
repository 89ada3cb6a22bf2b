// Collects the frames of a snapshot response into a ZVSnapshot. Separate from
// the HTTP transfer so that frame sequences can be checked without a server.
#pragma once

#include <arrow/status.h>

#include <cstdint>
#include <string>

#include "snapshot/snapshot_fetch_internal.h"

namespace zv {

class SnapshotStreamCollector {
 public:
  // A zv_frame_handler; `context` is the collector. Returns 1 (stop the
  // transfer) after writing the reason into error().
  static int OnFrame(uint8_t type, const uint8_t* payload, uint64_t length, void* context);

  // The checks made once the transfer completed with a 2xx status, in order:
  // a partial frame left in the parser, a server ERROR frame, no INIT frame, the
  // lowest missing slot. On failure the stored buffers are dropped.
  arrow::Status Finish(bool partial_frame);

  // Drops every stored buffer and the epoch.
  void Discard();

  bool handler_failed() const { return handler_failed_; }
  const std::string& error() const { return error_; }
  ZVSnapshot& snapshot() { return snapshot_; }

 private:
  int OnInit(const uint8_t* payload, uint64_t length);
  int OnBatch(const uint8_t* payload, uint64_t length);
  int OnError(const uint8_t* payload, uint64_t length);
  int Fail(std::string message);

  ZVSnapshot snapshot_;
  bool init_seen_ = false;
  bool server_error_ = false;
  bool handler_failed_ = false;
  std::string error_;
};

}  // namespace zv
