// History files: every saved record image appended to DIR/<id>.rec.
//
// A history file is the device's images one after another with nothing between them. The file
// is opened for appending on every save and never truncated, so earlier content (from this run
// or earlier ones) is kept; each image is written whole, continuing after partial writes.
// Devices write to distinct files, so Append may run on several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class HistoryWriter {
 public:
  // Creates `dir` (and its parents) when missing. Returns null and sets *error on failure.
  static std::unique_ptr<HistoryWriter> Open(const std::string& dir, std::string* error);

  // The file that holds device `id`'s history.
  std::string PathFor(uint32_t id) const;

  // Appends `size` bytes to device `id`'s file. On failure returns false and sets *error to
  // one line naming the file and the system's reason.
  bool Append(uint32_t id, const unsigned char* data, size_t size, std::string* error) const;

 private:
  explicit HistoryWriter(std::string dir) : dir_(std::move(dir)) {}
  std::string dir_;
};
