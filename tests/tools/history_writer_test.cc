// History files: appended whole, never truncated, errors named.
#include "tools/qrmhost/history_writer.h"

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/tools/record_images.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(HistoryWriter, CreatesTheDirectoryAndNamesFilesById) {
  TempDir dir;
  std::string error;
  auto writer = HistoryWriter::Open(dir / "a/b", &error);
  ASSERT_NE(writer, nullptr) << error;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b"));
  EXPECT_EQ(writer->PathFor(4294967295u), dir / "a/b/4294967295.rec");
}

TEST(HistoryWriter, AppendsImagesAfterExistingContent) {
  TempDir dir;
  const std::string earlier = "earlier content of an earlier run";
  dir.Write("7.rec", earlier);
  std::string error;
  auto writer = HistoryWriter::Open(dir.path(), &error);
  ASSERT_NE(writer, nullptr) << error;
  const auto first = MakeRecord(7, 0), second = MakeRecord(7, 1);
  ASSERT_TRUE(writer->Append(7, RecordBytes(first), kRecordSize, &error)) << error;
  ASSERT_TRUE(writer->Append(7, RecordBytes(second), kRecordSize, &error)) << error;
  EXPECT_EQ(ReadFileBytes(dir / "7.rec"), earlier + Bytes(first) + Bytes(second));
  // A new writer on the same directory (a later run) keeps appending.
  auto later = HistoryWriter::Open(dir.path(), &error);
  ASSERT_TRUE(later->Append(7, RecordBytes(first), kRecordSize, &error)) << error;
  EXPECT_EQ(ReadFileBytes(dir / "7.rec").size(), earlier.size() + 3 * kRecordSize);
}

TEST(HistoryWriter, ErrorsNameTheFileAndLaterAppendsStillWork) {
  TempDir dir;
  std::string error;
  auto writer = HistoryWriter::Open(dir.path(), &error);
  ASSERT_NE(writer, nullptr) << error;
  std::filesystem::create_directory(dir / "3.rec");  // cannot be opened for writing
  const auto r = MakeRecord(3);
  EXPECT_FALSE(writer->Append(3, RecordBytes(r), kRecordSize, &error));
  EXPECT_NE(error.find(dir / "3.rec"), std::string::npos) << error;
  EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
  // A write that fails after the open: /dev/full takes no data.
  ASSERT_EQ(symlink("/dev/full", (dir / "4.rec").c_str()), 0);
  EXPECT_FALSE(writer->Append(4, RecordBytes(r), kRecordSize, &error));
  EXPECT_NE(error.find("cannot write history file " + dir / "4.rec"), std::string::npos) << error;
  EXPECT_NE(error.find("No space left"), std::string::npos) << error;
  ASSERT_TRUE(writer->Append(5, RecordBytes(r), kRecordSize, &error)) << error;
  EXPECT_EQ(ReadFileBytes(dir / "5.rec"), Bytes(r));
}

TEST(HistoryWriter, UncreatableDirectoryIsReported) {
  TempDir dir;
  dir.Write("plain", "x");
  std::string error;
  EXPECT_EQ(HistoryWriter::Open(dir / "plain/sub", &error), nullptr);
  EXPECT_NE(error.find(dir / "plain/sub"), std::string::npos) << error;
}

}  // namespace
