// One ingest upload: the producer queues encoded frames, a worker thread
// streams them to the compute node in one chunked POST and keeps the answer.
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ingest/ingest_protocol.h"

namespace zv {

struct zv_conn;

class IngestUpload {
 public:
  // Frames the producer may have waiting before it blocks.
  static constexpr size_t kMaxQueuedFrames = 8;
  // The answer is one small frame; a larger body is not a service answer.
  static constexpr size_t kMaxResponseBytes = 16 * 1024 * 1024;

  // Validates the settings; no traffic yet. The failure text is the message.
  static arrow::Result<std::unique_ptr<IngestUpload>> Begin(std::shared_ptr<zv_conn> conn,
                                                            IngestRequest request);
  // Cancels a run that was neither finished nor cancelled.
  ~IngestUpload();
  IngestUpload(const IngestUpload&) = delete;
  IngestUpload& operator=(const IngestUpload&) = delete;

  // Arrow IPC only (a no-op for Parquet); before the first batch.
  arrow::Status PushSchema(std::string bytes);
  // Queues one BATCH frame, starting the upload first; blocks while the queue
  // is full.
  arrow::Status PushBatch(const uint8_t* bytes, size_t count);
  // Queues EOS, waits for the worker and reads the answer. Non-OK leaves the
  // failure in summary->message / sqlstate.
  bool Finish(IngestSummary* summary);
  // Stops the upload so the server never sees EOS, and waits for the worker.
  void Cancel();

  std::string ErrorText() const;

  // After Cancel: true when the server had already refused the load with an
  // ERROR frame (it may answer before the upload is complete), with its
  // message and SQLSTATE in *summary.
  bool ServerRefused(IngestSummary* summary) const;

 private:
  IngestUpload(std::shared_ptr<zv_conn> conn, IngestRequest request);

  arrow::Status StartUpload();
  void RecordError(std::string text, bool only_if_empty);
  void RunWorker();
  void PerformTransfer();
  void JoinWorker();

  static size_t ReadFrames(char* buffer, size_t size, size_t count, void* self);
  static size_t AppendResponse(char* data, size_t size, size_t count, void* self);

  const std::shared_ptr<zv_conn> conn_;  // outlives a released connection handle
  const IngestRequest request_;
  std::string schema_ipc_;

  mutable std::mutex lock_;
  std::condition_variable space_available_;
  std::condition_variable data_available_;
  std::deque<std::vector<uint8_t>> queue_;
  bool header_sent_ = false;
  bool finished_ = false;
  bool cancelled_ = false;
  bool worker_done_ = false;
  std::string error_;

  // Worker-only while the transfer runs; read after the join.
  std::vector<uint8_t> current_frame_;
  size_t read_offset_ = 0;
  std::string response_;
  bool response_too_large_ = false;
  long http_status_ = 0;
  int transport_result_ = 0;

  std::thread worker_;
};

}  // namespace zv
