// History files: every saved record image appended to DIR/<id>.rec.
//
// A history file is the device's images one after another with nothing between them. The file
// is opened for appending on every save, so earlier content (from this run or earlier ones) is
// kept; each image is written whole, continuing after partial writes. A file whose size is not a
// whole number of records (a save cut short by a crash or a full disk, or bytes that are no
// record) is never appended to as it is, which would put every later record off its boundary:
// before the append, the torn tail (the bytes after the last whole record) is copied into a side
// file, DIR/<id>.rec.torn-<offset> (offset: where the tail began, which is where the new records
// start), and only then cut from the history file; one line on standard error names both. So
// nothing is lost, and `qrmhost decode` tells where a tail was taken out. Devices write to
// distinct files, so Append may run on several threads at once. Close() ends the saving at a
// record boundary: it waits for the appends under way, and every later Append saves nothing.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class HistoryWriter {
 public:
  // Creates `dir` (and its parents) when missing. Returns null and sets *error on failure.
  static std::unique_ptr<HistoryWriter> Open(const std::string& dir, std::string* error);

  // The file that holds device `id`'s history.
  std::string PathFor(uint32_t id) const;

  // Appends `size` bytes to device `id`'s file, at a record boundary (see above). On failure
  // returns false and sets *error to one line naming the file and the system's reason; a torn
  // tail that cannot be kept in a side file leaves the file as it was, and nothing is appended.
  bool Append(uint32_t id, const unsigned char* data, size_t size, std::string* error) const;

  // Waits for every Append under way to end; every later one saves nothing and fails, saying
  // the run was cut short. So a process may end at once after it with whole records only.
  void Close();

  // The prefix of the side files that hold torn tails taken out of `history_file`, which the
  // tail's offset follows: "DIR/7.rec.torn-".
  static std::string TornTailPrefix(const std::string& history_file);

 private:
  explicit HistoryWriter(std::string dir) : dir_(std::move(dir)) {}
  bool AppendOpen(uint32_t id, const unsigned char* data, size_t size, std::string* error) const;

  std::string dir_;
  mutable std::mutex mutex_;
  mutable std::condition_variable idle_;
  mutable unsigned appending_ = 0;  // appends under way
  bool closed_ = false;
};
