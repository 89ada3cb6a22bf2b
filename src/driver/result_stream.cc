#include "driver/result_stream.h"

#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diagnostics/log.h"
#include "diagnostics/redact.h"
#include "driver/adbc_status.h"
#include "stream/query_failure.h"
#include "util/clock.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr size_t kLastErrorBytes = 512;

// Private record of every stream the driver returns.
struct ZVResultStream {
  ZVQueryPtr query;
  ZVArrowBatchPtr held;
  std::string last_error;
  // The result's schema once any carrier has shown it: the stream keeps
  // answering with it after its batches have been handed out.
  std::shared_ptr<arrow::Schema> schema;

  void Remember(const ZVArrowBatch& carrier) {
    if (schema) return;
    if (carrier.schema) {
      schema = carrier.schema;
    } else if (carrier.batch) {
      schema = carrier.batch->schema();
    }
  }

  // The last failure as an ADBC error, for AdbcErrorFromArrayStream. Marked
  // as a 1.1 record so that it carries details.
  AdbcError error = ADBC_ERROR_INIT;
  AdbcStatusCode error_status = ADBC_STATUS_OK;

  ~ZVResultStream() {
    if (error.release != nullptr) error.release(&error);
  }

  int Fail(std::string text) {
    return Fail(Failure(FailureKind::kInternal, "HY000", std::move(text)));
  }
  int Fail(const arrow::Status& failure) {
    last_error = Bounded(failure.message(), kLastErrorBytes);
    if (error.release == nullptr) error.vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
    error_status = ReportStatus(failure, &error, /*with_details=*/true);
    // Hosts tell a cancelled stream from a broken one by its errno.
    return error_status == ADBC_STATUS_CANCELLED ? ECANCELED : EIO;
  }
  // The query's own failure, with the server's SQLSTATE.
  int FailQuery() { return Fail(QueryFailure(query.get())); }
};

struct ProfileCounters {
  std::atomic<uint64_t> wait_ns{0}, export_ns{0}, free_ns{0}, batches{0}, rows{0};
};
ProfileCounters g_profile;

bool ProfilingEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("ZV_ADBC_PROFILE");
    return value != nullptr && value[0] != '\0';
  }();
  return enabled;
}

uint64_t NowNs() { return static_cast<uint64_t>(MonotonicNanos()); }

// The error path of a callback that ran out of memory: recording the text may
// itself fail, but nothing may leave the callback.
int FailWithoutThrowing(ZVResultStream* rs, const char* text) {
  try {
    return rs->Fail(text);
  } catch (...) {
    return EIO;
  }
}

ZVResultStream* RecordOf(ArrowArrayStream* stream) {
  return stream ? static_cast<ZVResultStream*>(stream->private_data) : nullptr;
}

void* QueryAddress(ZVResultStream* rs) { return static_cast<void*>(rs->query.get()); }

// A struct schema with no children: what a result that ended before any
// batch looks like.
void FillEmptyStructSchema(ArrowSchema* out) {
  std::memset(out, 0, sizeof(*out));
  out->format = "+s";
  out->name = "";
  out->release = [](ArrowSchema* schema) { schema->release = nullptr; };
}

// Takes the next batch from the queue when none is held; the error text of a
// failed read goes to `error`.
ZVArrowBatchPtr NextCarrier(ZVResultStream* rs, std::string* error) {
  if (rs->held) return std::move(rs->held);
  const bool profile = ProfilingEnabled();
  const uint64_t start = profile ? NowNs() : 0;
  ZVArrowBatchPtr carrier = zv_next_batch(rs->query.get(), error);
  if (profile) g_profile.wait_ns += NowNs() - start;
  return carrier;
}

int GetSchema(ArrowArrayStream* stream, ArrowSchema* out) {
  ZVResultStream* rs = RecordOf(stream);
  if (out == nullptr || rs == nullptr || !rs->query) return EINVAL;
  ZV_LOG(kLogInfo, "stream", "get_schema(q=%p) entry (held_batch=%s)", QueryAddress(rs),
         rs->held ? "yes" : "no");
  try {
    if (rs->schema) {
      arrow::Status st = arrow::ExportSchema(*rs->schema, out);
      if (!st.ok()) return rs->Fail("arrow::ExportSchema failed: " + st.ToString());
      return 0;
    }
    if (!rs->held) {
      std::string error;
      rs->held = NextCarrier(rs, &error);
      if (!rs->held) {
        if (!rs->query->ErrorText().empty()) {
          // A failure after data: the schema is still the result's, and
          // get_next reports the failure, where hosts look for it.
          std::shared_ptr<arrow::Schema> known = rs->query->KnownSchema();
          if (known && !rs->query->FailedBeforeData()) {
            arrow::Status st = arrow::ExportSchema(*known, out);
            if (!st.ok()) return rs->Fail("arrow::ExportSchema failed: " + st.ToString());
            return 0;
          }
          return rs->FailQuery();
        }
        if (!error.empty()) return rs->Fail(std::move(error));
        FillEmptyStructSchema(out);
        ZV_LOG(kLogInfo, "stream",
               "get_schema(q=%p): clean end-of-stream before any batch -> synthesised empty "
               "0-field struct schema (consumer will see zero columns)",
               QueryAddress(rs));
        return 0;
      }
    }
    if (!rs->held->schema) return rs->Fail("ZVArrowBatch has no schema");
    rs->Remember(*rs->held);
    arrow::Status st = arrow::ExportSchema(*rs->held->schema, out);
    if (!st.ok()) return rs->Fail("arrow::ExportSchema failed: " + st.ToString());
    ZV_LOG(kLogInfo, "stream",
           "get_schema(q=%p): returning schema (%d fields) from held batch (rows=%lld)",
           QueryAddress(rs), rs->held->schema->num_fields(),
           static_cast<long long>(rs->held->batch ? rs->held->batch->num_rows() : 0));
    return 0;
  } catch (...) {
    return FailWithoutThrowing(rs, "get_schema failed (out of memory?)");
  }
}

int GetNext(ArrowArrayStream* stream, ArrowArray* out) {
  ZVResultStream* rs = RecordOf(stream);
  if (out == nullptr || rs == nullptr || !rs->query) return EINVAL;
  ZV_LOG(kLogInfo, "stream", "get_next(q=%p) entry (held_batch=%s)", QueryAddress(rs),
         rs->held ? "yes" : "no");
  const bool profile = ProfilingEnabled();
  try {
    std::string error;
    while (ZVArrowBatchPtr carrier = NextCarrier(rs, &error)) {
      if (!carrier->batch) return rs->Fail("ZVArrowBatch had a null inner RecordBatch");
      rs->Remember(*carrier);
      const int64_t rows = carrier->batch->num_rows();
      if (rows == 0) {
        ZV_LOG(kLogInfo, "stream", "get_next(q=%p): skipping zero-row carrier batch",
               QueryAddress(rs));
        continue;
      }
      ZV_LOG(kLogInfo, "stream", "get_next(q=%p): returning data batch rows=%lld", QueryAddress(rs),
             static_cast<long long>(rows));
      const uint64_t export_start = profile ? NowNs() : 0;
      arrow::Status st = arrow::ExportRecordBatch(*carrier->batch, out);
      if (profile) {
        const uint64_t exported = NowNs();
        g_profile.export_ns += exported - export_start;
        carrier.reset();
        g_profile.free_ns += NowNs() - exported;
        g_profile.batches += 1;
        g_profile.rows += static_cast<uint64_t>(rows);
      }
      if (!st.ok()) return rs->Fail("arrow::ExportRecordBatch failed: " + st.ToString());
      return 0;
    }
    std::string query_error = rs->query->ErrorText();
    if (!query_error.empty()) {
      ZV_LOG(kLogInfo, "stream", "get_next(q=%p): query error: %s", QueryAddress(rs),
             zv_redact(query_error).c_str());
      return rs->FailQuery();
    }
    if (!error.empty()) {
      ZV_LOG(kLogInfo, "stream", "get_next(q=%p): zv_next_batch error: %s", QueryAddress(rs),
             zv_redact(error).c_str());
      return rs->Fail(std::move(error));
    }
    ZV_LOG(kLogInfo, "stream", "get_next(q=%p): clean end-of-stream (no more data batches)",
           QueryAddress(rs));
    std::memset(out, 0, sizeof(*out));
    return 0;
  } catch (...) {
    return FailWithoutThrowing(rs, "get_next failed (out of memory?)");
  }
}

const char* GetLastError(ArrowArrayStream* stream) {
  ZVResultStream* rs = RecordOf(stream);
  if (rs == nullptr || rs->last_error.empty()) return nullptr;
  return rs->last_error.c_str();
}

void Release(ArrowArrayStream* stream) {
  if (stream == nullptr) return;
  if (ZVResultStream* rs = RecordOf(stream)) {
    ZV_LOG(kLogInfo, "stream",
           "stream_release(q=%p): consumer released the result stream; closing query",
           QueryAddress(rs));
    std::unique_ptr<ZVResultStream> owned(rs);  // closes the query as it goes
  }
  std::memset(stream, 0, sizeof(*stream));
}

}  // namespace

const AdbcError* ResultStreamError(ArrowArrayStream* stream, AdbcStatusCode* status) {
  if (stream == nullptr || stream->release != &Release) return nullptr;
  ZVResultStream* rs = RecordOf(stream);
  if (rs == nullptr || rs->error_status == ADBC_STATUS_OK || rs->error.release == nullptr) {
    return nullptr;
  }
  if (status != nullptr) *status = rs->error_status;
  return &rs->error;
}

void ExportResultStream(ZVQueryPtr query, ArrowArrayStream* out) {
  auto record = std::make_unique<ZVResultStream>();
  record->query = std::move(query);
  out->get_schema = &GetSchema;
  out->get_next = &GetNext;
  out->get_last_error = &GetLastError;
  out->release = &Release;
  out->private_data = record.release();
}

StreamProfile ReadStreamProfile() {
  return {g_profile.wait_ns.load(), g_profile.export_ns.load(), g_profile.free_ns.load(),
          g_profile.batches.load(), g_profile.rows.load()};
}

}  // namespace zv
