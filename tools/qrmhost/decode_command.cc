#include "tools/qrmhost/decode_command.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include <json/writer.h>

#include "frame/record.h"
#include "tools/qrmhost/history_writer.h"
#include "tools/qrmhost/record_decode.h"

namespace {

// The torn tails taken out of the history file `path` (see history_writer.h), by offset: the
// side files beside it named PATH.torn-OFFSET (or PATH.torn-OFFSET.N), with their sizes. A
// side file whose OFFSET is not a number that fits 64 bits was not written by a save: it goes
// to *unreadable, by path, and is otherwise left alone.
struct TornTail {
  unsigned long long offset;
  std::string side;
  unsigned long long bytes;
};

std::vector<TornTail> FindTornTails(const std::string& path, std::vector<std::string>* unreadable) {
  namespace fs = std::filesystem;
  std::vector<TornTail> tails;
  const std::string prefix = fs::path(HistoryWriter::TornTailPrefix(path)).filename().string();
  fs::path dir = fs::path(path).parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = name.substr(prefix.size());
    const size_t digits = rest.find_first_not_of("0123456789");
    if (digits == 0 || rest.empty()) continue;
    const std::string side = (fs::path(path).parent_path() / name).string();
    unsigned long long offset = 0;
    const char* const last = rest.data() + (digits == std::string::npos ? rest.size() : digits);
    const auto parsed = std::from_chars(rest.data(), last, offset);
    if (parsed.ec != std::errc() || parsed.ptr != last) {
      unreadable->push_back(side);
      continue;
    }
    std::error_code size_error;
    const auto bytes = fs::file_size(it->path(), size_error);
    if (size_error) continue;
    tails.push_back({offset, side, bytes});
  }
  std::sort(tails.begin(), tails.end(), [](const TornTail& a, const TornTail& b) {
    return std::tie(a.offset, a.side) < std::tie(b.offset, b.side);
  });
  std::sort(unreadable->begin(), unreadable->end());
  return tails;
}

}  // namespace

int DecodeCommand(const std::string& path, DecodeOptions::Format format, std::ostream& out,
                  std::ostream& err, NameLanguage lang) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) {
    err << "qrmhost: cannot read history file " << path << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  builder["precision"] = 15;  // enough for every float's shortest text to read back exactly
  unsigned char image[kRecordSize];
  if (format == DecodeOptions::kCsv) out << CsvHeader();
  size_t index = 0;
  for (;; ++index) {
    const size_t n = std::fread(image, 1, sizeof image, file.get());
    if (n == sizeof image) {
      const DecodedRecord record = DecodeRecord(image);
      if (format == DecodeOptions::kJson) {
        out << Json::writeString(builder, RecordJson(record, lang)) << "\n";
      } else if (format == DecodeOptions::kCsv) {
        out << RecordCsv(record);
      } else {
        out << RecordText(index, record, lang);
      }
      continue;
    }
    out.flush();
    // Where earlier saves found the file torn: the tail taken out, and the side file keeping it.
    std::vector<std::string> unreadable;
    for (const TornTail& t : FindTornTails(path, &unreadable)) {
      err << "qrmhost: " << path << ": a partial record of " << t.bytes
          << " bytes was taken out at offset " << t.offset << " (after " << t.offset / kRecordSize
          << " whole records) and kept in " << t.side << "\n";
    }
    for (const std::string& side : unreadable) {
      err << "qrmhost: " << path << ": " << side
          << " is named as a partial record taken out of it, but its offset is not a number "
             "that fits 64 bits; skipped\n";
    }
    if (std::ferror(file.get())) {
      err << "qrmhost: cannot read history file " << path << ": " << std::strerror(errno) << "\n";
      return 1;
    }
    if (n > 0) {
      err << "qrmhost: " << path << ": trailing partial record of " << n << " bytes after " << index
          << " whole records\n";
      return 1;
    }
    return unreadable.empty() ? 0 : 1;
  }
}
