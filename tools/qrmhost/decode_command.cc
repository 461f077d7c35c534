#include "tools/qrmhost/decode_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <json/writer.h>

#include "frame/record.h"
#include "tools/qrmhost/record_decode.h"

int DecodeCommand(const std::string& path, DecodeOptions::Format format, std::ostream& out,
                  std::ostream& err) {
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
        out << Json::writeString(builder, RecordJson(record)) << "\n";
      } else if (format == DecodeOptions::kCsv) {
        out << RecordCsv(record);
      } else {
        out << RecordText(index, record);
      }
      continue;
    }
    out.flush();
    if (std::ferror(file.get())) {
      err << "qrmhost: cannot read history file " << path << ": " << std::strerror(errno) << "\n";
      return 1;
    }
    if (n > 0) {
      err << "qrmhost: " << path << ": trailing partial record of " << n << " bytes after " << index
          << " whole records\n";
      return 1;
    }
    return 0;
  }
}
