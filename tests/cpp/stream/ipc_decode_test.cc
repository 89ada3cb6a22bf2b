#include "stream/ipc_decode.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arrow/memory_pool.h>
#include <arrow/util/compression.h>
#include <arrow/util/key_value_metadata.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <sstream>

#include "diagnostics/log.h"
#include "stream/base64.h"
#include "stream/ipc_test_streams.h"

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using zv_test::SampleBatch;
using zv_test::WriteIpcStream;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int CountOf(const std::string& text, std::string_view needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Routes the engine log to a file of its own for the test's duration.
class IpcDecodeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    zv::zv_log_configure(nullptr, zv::kLogOff);
    std::remove(log_path_.c_str());
  }
  void LogAt(int level) { zv::zv_log_configure(log_path_.c_str(), level); }
  std::string LogText() const { return ReadFile(log_path_); }

  std::string log_path_ =
      ::testing::TempDir() + "zv_ipc_decode_test_" + std::to_string(::getpid()) + ".log";
};

TEST_F(IpcDecodeTest, TakesSchemaAndEveryBatch) {
  auto first = SampleBatch(5);
  auto second = SampleBatch(3, 100);
  using Batches = std::vector<std::shared_ptr<arrow::RecordBatch>>;
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    Batches expected;
  };
  const Case cases[] = {
      {"one batch", WriteIpcStream(first->schema(), {first}), {first}},
      {"two batches", WriteIpcStream(first->schema(), {first, second}), {first, second}},
      {"schema only", WriteIpcStream(first->schema(), {}), {}},
      {"no end marker",
       WriteIpcStream(first->schema(), {first, second}, {}, false),
       {first, second}},
      {"schema only, no end marker", WriteIpcStream(first->schema(), {}, {}, false), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = zv::zv_ipc_decode(c.bytes.data(), c.bytes.size());
    ASSERT_TRUE(decoded.ok()) << decoded.status().ToString();
    EXPECT_TRUE(decoded->schema->Equals(*first->schema()));
    ASSERT_EQ(decoded->batches.size(), c.expected.size());
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_TRUE(decoded->batches[i]->Equals(*c.expected[i])) << i;
    }
  }
}

TEST_F(IpcDecodeTest, UnreadableStreamsFailWithArrowsStatus) {
  auto batch = SampleBatch(50);
  const std::vector<uint8_t> stream = WriteIpcStream(batch->schema(), {batch});
  const std::vector<uint8_t> schema_only = WriteIpcStream(batch->schema(), {}, {}, false);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"garbage", std::vector<uint8_t>(64, 0x5A)},
      {"cut inside the schema", {stream.begin(), stream.begin() + 20}},
      {"cut inside the batch",
       {stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(schema_only.size() + 40)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = zv::zv_ipc_decode(c.bytes.data(), c.bytes.size());
    EXPECT_FALSE(decoded.ok());
    EXPECT_THAT(decoded.status().ToString(), Not(IsEmpty()));
  }
}

TEST_F(IpcDecodeTest, BatchOwnsOneCopyOfThePayload) {
  auto batch = SampleBatch(20000);
  std::vector<uint8_t> bytes = WriteIpcStream(batch->schema(), {batch});
  arrow::MemoryPool* pool = arrow::default_memory_pool();
  const int64_t before = pool->bytes_allocated();
  {
    auto decoded = zv::zv_ipc_decode(bytes.data(), bytes.size());
    ASSERT_TRUE(decoded.ok());
    const int64_t held = pool->bytes_allocated() - before;
    EXPECT_GE(held, static_cast<int64_t>(bytes.size()));
    EXPECT_LT(held, static_cast<int64_t>(bytes.size()) * 2) << "payload copied more than once";
    std::fill(bytes.begin(), bytes.end(), 0xFF);  // the receive buffer gets reused
    EXPECT_TRUE(decoded->batches.at(0)->Equals(*batch));
  }
  EXPECT_EQ(pool->bytes_allocated(), before);
}

TEST_F(IpcDecodeTest, CompressedStreamLogsItsCodecOnceAtTraceOnly) {
  ASSERT_TRUE(arrow::util::Codec::IsAvailable(arrow::Compression::ZSTD));
  auto options = arrow::ipc::IpcWriteOptions::Defaults();
  options.codec = arrow::util::Codec::Create(arrow::Compression::ZSTD).ValueOrDie();
  auto plain = SampleBatch(100);
  // The key repeated: only its first value may be logged, and only once.
  auto batch = plain->ReplaceSchemaMetadata(arrow::key_value_metadata(
      {"ARROW:experimental_compression", "other", "ARROW:experimental_compression"},
      {"zstd", "x", "lz4"}));
  const std::vector<uint8_t> bytes = WriteIpcStream(batch->schema(), {batch}, options);

  LogAt(zv::kLogDebug);
  ASSERT_TRUE(zv::zv_ipc_decode(bytes.data(), bytes.size()).ok());
  EXPECT_THAT(LogText(), Not(HasSubstr("Compressed")));

  LogAt(zv::kLogTrace);
  auto decoded = zv::zv_ipc_decode(bytes.data(), bytes.size());
  ASSERT_TRUE(decoded.ok()) << decoded.status().ToString();
  EXPECT_TRUE(decoded->batches.at(0)->Equals(*plain));
  const std::string log = LogText();
  EXPECT_EQ(CountOf(log, "Compressed Arrow IPC frame: codec=zstd"), 1) << log;
  EXPECT_EQ(CountOf(log, "codec=lz4"), 0);
}

TEST_F(IpcDecodeTest, InitSchemaIsTakenOrLeftToTheFirstBatch) {
  auto batch = SampleBatch(1);
  const std::vector<uint8_t> schema_stream = WriteIpcStream(batch->schema(), {});
  const std::string good = zv::zv_base64_encode(schema_stream.data(), schema_stream.size());
  const std::vector<uint8_t> garbage(40, 0x5A);
  struct Case {
    const char* name;
    std::string text;
    bool schema;
    bool debug_line;
  };
  const Case cases[] = {
      {"schema stream", good, true, false},
      {"not a multiple of 4", good.substr(0, good.size() - 1), false, false},
      {"with a newline", good.substr(0, 4) + "\n" + good.substr(4, good.size() - 5), false, false},
      {"empty", "", false, false},
      {"not an IPC stream", zv::zv_base64_encode(garbage.data(), garbage.size()), false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogAt(zv::kLogTrace);
    auto schema = zv::zv_decode_init_schema(c.text);
    EXPECT_EQ(schema != nullptr, c.schema);
    if (schema) EXPECT_TRUE(schema->Equals(*batch->schema()));
    const std::string log = LogText();
    EXPECT_EQ(CountOf(log, "INIT schemaIpc decode produced no schema ("), c.debug_line ? 1 : 0)
        << log;
    if (c.debug_line) EXPECT_THAT(log, HasSubstr("); falling back to first-batch schema"));
    std::remove(log_path_.c_str());
  }
}

}  // namespace

namespace {

// Replaces every occurrence of `from` in `bytes` by `to` (same length).
template <typename T>
int Patch(std::vector<uint8_t>& bytes, const std::vector<T>& from, const std::vector<T>& to) {
  const size_t n = from.size() * sizeof(T);
  int count = 0;
  for (size_t i = 0; i + n <= bytes.size(); ++i) {
    if (std::memcmp(bytes.data() + i, from.data(), n) == 0) {
      std::memcpy(bytes.data() + i, to.data(), n);
      ++count;
    }
  }
  return count;
}

TEST_F(IpcDecodeTest, HostileBatchesAreRefusedBeforeAnyoneReadsThem) {
  // Names "row0".."row2": utf8 offsets 0, 4, 8, 12.
  const auto batch = SampleBatch(3);
  const std::vector<uint8_t> valid = WriteIpcStream(batch->schema(), {batch, batch});
  struct Case {
    const char* name;
    std::function<int(std::vector<uint8_t>&)> corrupt;
  };
  const Case cases[] = {
      {"offset past the data",
       [](auto& b) {
         return Patch<int32_t>(b, {0, 4, 8, 12}, {0, 4, 8, 1 << 30});
       }},
      {"offsets going backwards",
       [](auto& b) {
         return Patch<int32_t>(b, {0, 4, 8, 12}, {0, 8, 4, 12});
       }},
      {"negative first offset",
       [](auto& b) {
         return Patch<int32_t>(b, {0, 4, 8, 12}, {-8, 4, 8, 12});
       }},
      {"negative lengths",
       [](auto& b) {
         return Patch<int64_t>(b, {3, 0}, {-3, 0});
       }},
      {"lengths beyond the buffers",
       [](auto& b) {
         return Patch<int64_t>(b, {3, 0}, {int64_t{1} << 40, 0});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = valid;
    ASSERT_GT(c.corrupt(bytes), 0) << "pattern not found";
    auto decoded = zv::zv_ipc_decode(bytes.data(), bytes.size());
    EXPECT_FALSE(decoded.ok());
  }
}

}  // namespace
