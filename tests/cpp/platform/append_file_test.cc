// The append-only file and the moves the log's rotation makes on it, the same
// cases on every platform.
#include "platform/append_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/scratch_files.h"

namespace {

using ::testing::HasSubstr;
using zv_test::ReadFile;

class AppendFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.Path(name); }
  zv_test::ScratchDir dir_{"zv_append_file_test_"};
};

TEST_F(AppendFileTest, TwoHandlesBothAppendAndNeitherOverwrites) {
  const std::string path = Path("shared.log");
  zv_test::WriteFile(path, "kept\n");
  unsigned long err = 99;
  zv::AppendFile a = zv::AppendFile::Open(path, &err);
  EXPECT_EQ(err, 0u);
  zv::AppendFile b = zv::AppendFile::Open(path, &err);
  ASSERT_TRUE(a.is_open() && b.is_open());
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(a.Write("a\n", 2), 2);
    ASSERT_EQ(b.Write("bb\n", 3), 3);
  }
  EXPECT_EQ(a.Size(), 5u + 250u);
  EXPECT_EQ(b.Size(), a.Size());
  std::string want = "kept\n";
  for (int i = 0; i < 50; ++i) want += "a\nbb\n";
  EXPECT_EQ(ReadFile(path), want);
}

TEST_F(AppendFileTest, AnOpenFileCanBeRenamedAndRemovedUnderItsWriter) {
  const std::string path = Path("live.log");
  unsigned long err = 0;
  zv::AppendFile file = zv::AppendFile::Open(path, &err);
  ASSERT_TRUE(file.is_open()) << err;
  zv_test::HeldOpen reader(path);
  ASSERT_TRUE(reader.is_open());
  ASSERT_TRUE(zv::RenameFile(path, path + ".1"));
  EXPECT_EQ(file.Write("after the move\n", 15), 15);
  EXPECT_EQ(ReadFile(path + ".1"), "after the move\n");
  EXPECT_FALSE(zv::RenameFile(path, path + ".2")) << "nothing left under the old name";

  // Removing frees the name at once, even while both handles hold the file.
  ASSERT_TRUE(zv::RemoveFile(path + ".1"));
  EXPECT_FALSE(zv_test::Exists(path + ".1"));
  zv_test::WriteFile(path + ".2", "other");
  EXPECT_TRUE(zv::RenameFile(path + ".2", path + ".1"));
  EXPECT_EQ(reader.ReadRest(), "after the move\n");
  EXPECT_FALSE(zv::RemoveFile(Path("never-there")));
}

TEST_F(AppendFileTest, OpenFailuresCarryThePlatformErrorNumber) {
  unsigned long err = 0;
  zv::AppendFile file = zv::AppendFile::Open(Path("no-such-folder/x.log"), &err);
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(err, zv_test::kMissingFolderError);
  EXPECT_EQ(file.Write("x", 1), -1);
  EXPECT_EQ(file.Size(), 0u);
  file = zv::AppendFile::Open(dir_.path(), &err);  // a folder
  EXPECT_FALSE(file.is_open());
  EXPECT_NE(err, 0u);
  file = zv::AppendFile::Open(Path("bad-\xff-utf8.log"), &err);
#ifdef _WIN32
  EXPECT_FALSE(file.is_open()) << "invalid UTF-8 names no file";
  EXPECT_EQ(err, static_cast<unsigned long>(ERROR_NO_UNICODE_TRANSLATION));
#else
  EXPECT_TRUE(file.is_open()) << "POSIX names are bytes";
#endif
}

}  // namespace
