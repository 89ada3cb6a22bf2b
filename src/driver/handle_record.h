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

// Base of the records that child handles share (a database's, held by its
// connections; a connection's, held by its statements). A host may release a
// parent before its children, so the handle is only one owner among several.
// `private_data` points at the record like every other handle's, so RecordOf
// serves these too; the handle's own share is kept in the record and given
// up by Release, after which the record lives as long as a child holds it.
template <typename Record>
class SharedRecord {
 public:
  SharedRecord() = default;
  SharedRecord(const SharedRecord&) = delete;
  SharedRecord& operator=(const SharedRecord&) = delete;

  template <typename Handle>
  static void Attach(Handle* handle, std::shared_ptr<Record> record) {
    Record* raw = record.get();
    static_cast<SharedRecord&>(*raw).handle_share_ = std::move(record);
    handle->private_data = raw;
  }

  // Another share of the handle's record; null when the handle holds none.
  template <typename Handle>
  static std::shared_ptr<Record> ShareOf(Handle* handle) {
    Record* raw = RecordOf<Record>(handle);
    return raw ? static_cast<SharedRecord&>(*raw).handle_share_ : nullptr;
  }

  // The handle's share, taken back; the handle is unallocated afterwards.
  template <typename Handle>
  static std::shared_ptr<Record> Detach(Handle* handle) {
    Record* raw = RecordOf<Record>(handle);
    if (raw == nullptr) return nullptr;
    handle->private_data = nullptr;
    return std::move(static_cast<SharedRecord&>(*raw).handle_share_);
  }

 private:
  std::shared_ptr<Record> handle_share_;
};

// A child's share of its parent's record, taken from the parent's handle when
// assigned and read like a pointer. It stays valid after the host released
// the parent; the parent's Release leaves the record in a state its children
// check (a released connection reads as not initialised).
template <typename Record, typename Handle>
class ParentRecord {
 public:
  ParentRecord& operator=(Handle* handle) {
    record_ = SharedRecord<Record>::ShareOf(handle);
    return *this;
  }

  Record* get() const { return record_.get(); }
  Record* operator->() const { return record_.get(); }
  Record& operator*() const { return *record_; }
  explicit operator bool() const { return record_ != nullptr; }

 private:
  std::shared_ptr<Record> record_;
};

}  // namespace zv
