#pragma once

#include <memory>

namespace zv {

// ADBC handles carry the driver's record in `private_data`; null means the
// handle is not allocated. These helpers keep the record's ownership explicit:
// New hands a unique_ptr's object to the handle, Release takes it back.
template <typename Record, typename Handle>
Record* RecordOf(Handle* handle) {
  return handle ? static_cast<Record*>(handle->private_data) : nullptr;
}

template <typename Record, typename Handle>
void AttachRecord(Handle* handle, std::unique_ptr<Record> record) {
  handle->private_data = record.release();
}

template <typename Record, typename Handle>
std::unique_ptr<Record> DetachRecord(Handle* handle) {
  std::unique_ptr<Record> record(static_cast<Record*>(handle->private_data));
  handle->private_data = nullptr;
  return record;
}

}  // namespace zv
