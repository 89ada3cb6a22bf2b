#include "ingest/bound_stream.h"

#include <arrow/api.h>
#include <arrow/c/bridge.h>
#include <gtest/gtest.h>

namespace {

// A stream whose release is counted, to prove single ownership.
struct CountingStream {
  static int releases;
  static void Release(ArrowArrayStream* s) {
    ++releases;
    s->release = nullptr;
  }
  static int GetSchema(ArrowArrayStream*, ArrowSchema*) { return 5; }
  static int GetNext(ArrowArrayStream*, ArrowArray*) { return 5; }
  static const char* GetLastError(ArrowArrayStream*) { return "x"; }
  static ArrowArrayStream Make() {
    ArrowArrayStream s{};
    s.get_schema = &GetSchema;
    s.get_next = &GetNext;
    s.get_last_error = &GetLastError;
    s.release = &Release;
    return s;
  }
};
int CountingStream::releases = 0;

TEST(OwnedArrowStream, ReleasesExactlyOnceAcrossMovesAndReplacement) {
  CountingStream::releases = 0;
  {
    ArrowArrayStream host = CountingStream::Make();
    zv::OwnedArrowStream first = zv::OwnedArrowStream::Adopt(&host);
    EXPECT_EQ(host.release, nullptr);  // the host no longer owns it
    zv::OwnedArrowStream moved = std::move(first);
    // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from state is what is tested
    EXPECT_FALSE(first.bound());
    EXPECT_TRUE(moved.bound());
    ArrowArrayStream second_host = CountingStream::Make();
    moved = zv::OwnedArrowStream::Adopt(&second_host);  // replaces: first is released
    EXPECT_EQ(CountingStream::releases, 1);
  }
  EXPECT_EQ(CountingStream::releases, 2);
}

TEST(OwnedArrowStream, RejectsStreamsWithoutCallbacks) {
  ArrowArrayStream s = CountingStream::Make();
  EXPECT_TRUE(zv::IsUsableStream(&s));
  EXPECT_FALSE(zv::IsUsableStream(nullptr));
  for (int missing = 0; missing < 3; ++missing) {
    ArrowArrayStream partial = CountingStream::Make();
    if (missing == 0) partial.get_schema = nullptr;
    if (missing == 1) partial.get_next = nullptr;
    if (missing == 2) partial.release = nullptr;
    EXPECT_FALSE(zv::IsUsableStream(&partial)) << missing;
  }
}

TEST(StreamOfOneBatch, YieldsExactlyTheBoundBatch) {
  auto schema = arrow::schema({arrow::field("id", arrow::int64())});
  arrow::Int64Builder builder;
  ASSERT_TRUE(builder.AppendValues({1, 2, 3}).ok());
  auto array = builder.Finish().ValueOrDie();
  auto batch = arrow::RecordBatch::Make(schema, 3, {array});
  ArrowArray c_array;
  ArrowSchema c_schema;
  ASSERT_TRUE(arrow::ExportRecordBatch(*batch, &c_array, &c_schema).ok());

  auto stream = zv::StreamOfOneBatch(&c_array, &c_schema);
  ASSERT_TRUE(stream.ok()) << stream.status();
  EXPECT_EQ(c_array.release, nullptr);
  EXPECT_EQ(c_schema.release, nullptr);
  auto reader = arrow::ImportRecordBatchReader(stream->get()).ValueOrDie();
  auto table = reader->ToTable().ValueOrDie();
  EXPECT_TRUE(table->Equals(*arrow::Table::FromRecordBatches({batch}).ValueOrDie()));
}

TEST(StreamOfOneBatch, MismatchedArrayIsRefusedAndBothAreReleased) {
  // A struct schema with two children against an int64 array: import fails.
  auto schema =
      arrow::schema({arrow::field("a", arrow::int64()), arrow::field("b", arrow::utf8())});
  arrow::Int64Builder builder;
  ASSERT_TRUE(builder.AppendValues({1}).ok());
  auto array = builder.Finish().ValueOrDie();
  ArrowArray c_array;
  ArrowSchema c_schema;
  ASSERT_TRUE(arrow::ExportArray(*array, &c_array).ok());
  ASSERT_TRUE(arrow::ExportSchema(*schema, &c_schema).ok());

  auto stream = zv::StreamOfOneBatch(&c_array, &c_schema);
  ASSERT_FALSE(stream.ok());
  EXPECT_NE(stream.status().message().find("AdbcStatementBind: ImportRecordBatch failed: "),
            std::string::npos);
  EXPECT_EQ(c_array.release, nullptr);
  EXPECT_EQ(c_schema.release, nullptr);
}

}  // namespace
