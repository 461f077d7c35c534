// History files: appended whole at record boundaries, torn tails kept aside, errors named.
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

// Earlier whole records stay and later ones follow them; a torn tail is never appended after,
// but moved into a side file named in one line, and every byte of it is kept there.
TEST(HistoryWriter, AppendsAtARecordBoundaryAndMovesATornTailAside) {
  TempDir dir;
  const auto first = MakeRecord(7, 0), second = MakeRecord(7, 1);
  std::string error;
  auto writer = HistoryWriter::Open(dir.path(), &error);
  ASSERT_NE(writer, nullptr) << error;
  const struct {
    std::string tail, side;
  } tears[] = {{"torn once", "7.rec.torn-5087"}, {"torn again", "7.rec.torn-5087.2"}};
  for (const auto& t : tears) {  // a save cut short at the same place twice
    dir.Write("7.rec", Bytes(first) + t.tail);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(writer->Append(7, RecordBytes(second), kRecordSize, &error)) << error;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "qrmhost: history file " + dir / "7.rec" + " ended in a partial record of " +
                  std::to_string(t.tail.size()) + " bytes at offset 5087; moved it to " +
                  dir / t.side + ", new records start at offset 5087\n");
    EXPECT_EQ(ReadFileBytes(dir / "7.rec"), Bytes(first) + Bytes(second));
    EXPECT_EQ(ReadFileBytes(dir / t.side), t.tail);
  }
  // A new writer on the same directory (a later run) goes on after the whole records, silently.
  auto later = HistoryWriter::Open(dir.path(), &error);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(later->Append(7, RecordBytes(first), kRecordSize, &error)) << error;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ReadFileBytes(dir / "7.rec"), Bytes(first) + Bytes(second) + Bytes(first));

  // A tail that cannot be kept (every side file name taken) leaves the file as it was.
  dir.Write("8.rec", "torn");
  for (int n = 1; n <= 100; ++n)
    dir.Write(n == 1 ? "8.rec.torn-0" : "8.rec.torn-0." + std::to_string(n), "");
  EXPECT_FALSE(writer->Append(8, RecordBytes(second), kRecordSize, &error));
  EXPECT_NE(
      error.find("cannot keep the partial record at the end of history file " + dir / "8.rec"),
      std::string::npos)
      << error;
  EXPECT_EQ(ReadFileBytes(dir / "8.rec"), "torn");
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
  // Once closed, nothing more is saved, and the error says why.
  writer->Close();
  EXPECT_FALSE(writer->Append(5, RecordBytes(r), kRecordSize, &error));
  EXPECT_EQ(error, "history file " + dir / "5.rec" + " not written: the run was cut short");
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
