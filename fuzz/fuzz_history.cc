// The history writer and `qrmhost decode` on arbitrary history folders.
//
// Input layout:
//   bytes 0-1   little-endian: how many of the remaining bytes the history file holds before
//               the save (taken modulo what remains, plus one)
//   byte 2      how many (up to 200) of the bytes after the history file name a side file
//               beside it:
//               1.rec.torn-NAME ('/' and NUL read as '_'; none when 0)
//   byte 3      decode's form: text, JSON or CSV
//   the rest    the history file, the side file's NAME, then the record saved (cut or padded
//               with zeros to a whole record)
//
// One save appends the record at a record boundary: the whole records before it are kept as
// they were, a torn tail is kept byte for byte in a new side file, and the file then ends with
// the record. decode then reads every record without throwing and exits 0, or 1 exactly when a
// side file's offset does not fit 64 bits.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "frame/record.h"
#include "fuzz/fuzz_support.h"
#include "tools/qrmhost/decode_command.h"
#include "tools/qrmhost/history_writer.h"

namespace {

namespace fs = std::filesystem;

std::string g_dir;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  FUZZ_CHECK(out.good());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Whether NAME, after "torn-", is an offset decode cannot read: digits that do not fit 64 bits.
bool OffsetTooLarge(const std::string& name) {
  const size_t digits = std::min(name.find_first_not_of("0123456789"), name.size());
  if (digits == 0) return false;  // not a side file's name at all
  std::string number = name.substr(0, digits);
  number.erase(0, std::min(number.find_first_not_of('0'), number.size() - 1));
  const std::string largest = "18446744073709551615";
  return number.size() > largest.size() || (number.size() == largest.size() && number > largest);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  char pattern[] = "/tmp/fuzz_history.XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern) != nullptr);
  g_dir = pattern;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t rest = size - 4;
  const size_t held = (data[0] | (data[1] << 8)) % (rest + 1);
  const size_t named = std::min<size_t>(std::min(data[2], uint8_t{200}), rest - held);
  const DecodeOptions::Format format = static_cast<DecodeOptions::Format>(data[3] % 3);
  const char* const bytes = reinterpret_cast<const char*>(data + 4);
  const std::string before(bytes, held);
  std::string name(bytes + held, named);
  std::replace(name.begin(), name.end(), '/', '_');
  std::replace(name.begin(), name.end(), '\0', '_');
  std::string record(bytes + held + named, rest - held - named);
  record.resize(kRecordSize, '\0');

  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(g_dir)) fs::remove(e.path(), ec);
  std::unique_ptr<HistoryWriter> writer;
  std::string error;
  writer = HistoryWriter::Open(g_dir, &error);
  FUZZ_CHECK(writer != nullptr);
  const std::string path = writer->PathFor(1);
  WriteFile(path, before);
  if (!name.empty()) WriteFile(HistoryWriter::TornTailPrefix(path) + name, "x");
  const size_t files_before = std::distance(fs::directory_iterator(g_dir), {});

  FUZZ_CHECK(writer->Append(1, reinterpret_cast<const unsigned char*>(record.data()), record.size(),
                            &error));
  const size_t whole = held - held % kRecordSize;
  const std::string after = ReadFile(path);
  FUZZ_CHECK(after.size() == whole + kRecordSize);
  FUZZ_CHECK(after.compare(0, whole, before, 0, whole) == 0);
  FUZZ_CHECK(after.compare(whole, kRecordSize, record) == 0);
  const size_t files_after = std::distance(fs::directory_iterator(g_dir), {});
  if (held % kRecordSize != 0) {
    FUZZ_CHECK(files_after == files_before + 1);
    bool kept = false;
    for (const fs::directory_entry& e : fs::directory_iterator(g_dir)) {
      kept = kept || (e.path() != path && ReadFile(e.path()) == before.substr(whole));
    }
    FUZZ_CHECK(kept);
  } else {
    FUZZ_CHECK(files_after == files_before);
  }

  std::ostringstream out, err;
  int status = -1;
  try {
    status = DecodeCommand(path, format, out, err);
  } catch (...) {
    FUZZ_CHECK(!"decode threw");
  }
  FUZZ_CHECK(status == (OffsetTooLarge(name) ? 1 : 0));
  const std::string text = out.str();
  const size_t records = after.size() / kRecordSize;
  const size_t lines = std::count(text.begin(), text.end(), '\n');
  if (format == DecodeOptions::kJson) FUZZ_CHECK(lines == records);
  if (format == DecodeOptions::kCsv) FUZZ_CHECK(lines == records + 1);
  if (format == DecodeOptions::kText) FUZZ_CHECK(lines == 3 * records);
  return 0;
}
