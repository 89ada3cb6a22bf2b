// One ingest upload: the producer queues encoded frames, a worker thread
// streams them to the compute node in one chunked POST and keeps the answer.
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ingest/ingest_protocol_internal.h"
#include "transport/http_request.h"
#include "util/bounded_queue.h"
#include "util/secret_string.h"

namespace zv {

struct zv_conn;

class IngestUpload {
 public:
  // Frames the producer may have waiting before it blocks.
  static constexpr size_t kMaxQueuedFrames = 8;
  // The answer is one small frame; a larger body is not a service answer.
  static constexpr size_t kMaxResponseBytes = 16 * 1024 * 1024;
  // The upload's first frames are kept up to this size, so that an upload
  // the service never took (a dead pooled connection, a refused token) can be
  // sent again without reading the host's data twice. A longer upload that
  // fails after that point stays failed.
  static constexpr size_t kMaxResendBytes = 16 * 1024 * 1024;

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
  // Queues EOS, waits for the worker and reads the answer into *summary.
  // A failure carries the SQLSTATE of the ingest service's verdict.
  arrow::Status Finish(IngestSummary* summary);
  // Stops the upload so the server never sees EOS, and waits for the worker.
  void Cancel();
  // From any thread (the host's Cancel): wakes a push waiting for room and
  // stops the worker sending more; the load's own thread then calls Cancel.
  void Interrupt();

  // The first failure's message; empty when none was recorded.
  std::string ErrorText() const;

  // After Cancel: the failure when the upload had already failed on its own
  // side (the server refused the load, answered with an HTTP error, or the
  // transfer broke; the server may answer before the upload is complete);
  // OK when it had not.
  arrow::Status FailureBeforeCancel();

 private:
  IngestUpload(std::shared_ptr<zv_conn> conn, IngestRequest request);
  // Once the worker is joined: the outcome of the exchange, as Finish reports it.
  arrow::Status ReadOutcome(IngestSummary* summary);

  arrow::Status StartUpload();
  // Keeps `failure` (its message cut to the reply's size) unless
  // `only_if_empty` and one is kept already.
  void RecordError(const arrow::Status& failure, bool only_if_empty);
  void RunWorker();
  void PerformTransfer();
  enum class UploadOutcome { kAnswered, kFailed, kDeadPooledConnection };
  // One POST of the upload with `token`. kFailed records the reason;
  // kDeadPooledConnection (only when not asked for a fresh connection, and
  // while every frame sent is kept) leaves the retry to the caller.
  UploadOutcome SendUpload(const SecretString& token, bool fresh_connection);
  arrow::Result<HttpRequest> UploadRequest(const std::string& url, const SecretString& token,
                                           bool fresh_connection);
  // Records why the transfer failed (or leaves a dead pooled connection to
  // the caller, see SendUpload).
  UploadOutcome TransferFailed(const arrow::Status& failure, bool fresh_connection);
  void RestartFromFirstFrame();
  // Under the queue lock.
  void MarkCancelled();
  // The next frame for the request after the kept ones; false when the upload is
  // finished, cancelled or released (*abort then tells which).
  bool TakeNextFrame(bool* abort);
  void JoinWorker();

  // The upload body's next bytes, HttpRequest::kAbortUpload to stop.
  size_t ReadFrames(char* buffer, size_t wanted);
  bool RewindFrames();
  bool AppendResponse(std::string_view chunk);

  const std::shared_ptr<zv_conn> conn_;  // outlives a released connection handle
  const IngestRequest request_;
  std::string schema_ipc_;

  // The encoded frames, and the lock that guards the members after it.
  BoundedQueue<std::vector<uint8_t>> queue_{kMaxQueuedFrames};
  bool header_sent_ = false;
  bool finished_ = false;
  bool cancelled_ = false;
  bool worker_done_ = false;
  bool worker_done_before_cancel_ = false;
  arrow::Status error_;  // the first failure recorded (later ones may replace it)

  // Worker-only while the transfer runs; read after the join. `sent_` holds
  // the frames taken from the queue so far while they fit kMaxResendBytes
  // (then only the frame being sent); the cursor is where the request reads next.
  std::deque<std::vector<uint8_t>> sent_;
  size_t sent_bytes_ = 0;
  bool resendable_ = true;
  size_t cursor_frame_ = 0;
  size_t read_offset_ = 0;
  std::string response_;
  bool response_too_large_ = false;
  long http_status_ = 0;
  // Why the last exchange did not complete; OK when it did.
  arrow::Status transport_status_;

  std::thread worker_;
};

}  // namespace zv
