#include "tools/qrmhost/history_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include "frame/record.h"
#include "util/console_line.h"

namespace {

// Writes all `size` bytes at `data`; false with errno set on failure.
bool WriteAll(int fd, const unsigned char* data, size_t size, size_t* done) {
  *done = 0;
  while (*done < size) {
    const ssize_t n = ::write(fd, data + *done, size - *done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    *done += static_cast<size_t>(n);
  }
  return true;
}

// Copies the `length` bytes at `offset` of the open history file `fd` into a new side file and
// makes sure they are on disk; the side file's path in *side. False (with *error) when the bytes
// could not be kept: the history file is then left alone.
bool KeepTornTail(int fd, const std::string& path, off_t offset, size_t length, std::string* side,
                  std::string* error) {
  std::vector<unsigned char> tail(length);
  size_t got = 0;
  while (got < length) {
    const ssize_t n =
        ::pread(fd, tail.data() + got, length - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot read the partial record at the end of history file " + path + ": " +
               std::strerror(n < 0 ? errno : EIO);
      return false;
    }
    got += static_cast<size_t>(n);
  }
  const std::string base = HistoryWriter::TornTailPrefix(path) + std::to_string(offset);
  int out = -1;
  for (int n = 1; n <= 100 && out < 0; ++n) {  // a tail torn at the same offset before is kept too
    *side = n == 1 ? base : base + "." + std::to_string(n);
    out = ::open(side->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0 && errno != EEXIST) break;
  }
  size_t written = 0;
  if (out < 0 || !WriteAll(out, tail.data(), tail.size(), &written) || ::fsync(out) != 0) {
    *error = "cannot keep the partial record at the end of history file " + path + " in " + *side +
             ": " + std::strerror(errno);
    if (out >= 0) {
      ::close(out);
      ::unlink(side->c_str());
    }
    return false;
  }
  if (::close(out) != 0) {
    *error = "cannot keep the partial record at the end of history file " + path + " in " + *side +
             ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<HistoryWriter> HistoryWriter::Open(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    *error = "cannot create history directory " + dir + ": " +
             (ec ? ec.message() : std::string("not a directory"));
    return nullptr;
  }
  return std::unique_ptr<HistoryWriter>(new HistoryWriter(dir));
}

std::string HistoryWriter::PathFor(uint32_t id) const {
  return (std::filesystem::path(dir_) / (std::to_string(id) + ".rec")).string();
}

std::string HistoryWriter::TornTailPrefix(const std::string& history_file) {
  return history_file + ".torn-";
}

void HistoryWriter::Close() {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_ = true;
  idle_.wait(lock, [this] { return appending_ == 0; });
}

bool HistoryWriter::Append(uint32_t id, const unsigned char* data, size_t size,
                           std::string* error) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      *error = "history file " + PathFor(id) + " not written: the run was cut short";
      return false;
    }
    ++appending_;
  }
  const bool saved = AppendOpen(id, data, size, error);
  std::lock_guard<std::mutex> lock(mutex_);
  if (--appending_ == 0) idle_.notify_all();
  return saved;
}

bool HistoryWriter::AppendOpen(uint32_t id, const unsigned char* data, size_t size,
                               std::string* error) const {
  const std::string path = PathFor(id);
  // Read and write: a torn tail is read back before it is cut off.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open history file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *error = "cannot open history file " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  const size_t torn = static_cast<size_t>(st.st_size) % kRecordSize;
  if (torn != 0) {
    const off_t boundary = st.st_size - static_cast<off_t>(torn);
    std::string side;
    if (!KeepTornTail(fd, path, boundary, torn, &side, error)) {
      ::close(fd);
      return false;
    }
    if (::ftruncate(fd, boundary) != 0) {
      *error = "cannot cut the partial record (kept in " + side + ") from history file " + path +
               ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    ConsoleLine(std::cerr, "qrmhost: history file " + path + " ended in a partial record of " +
                               std::to_string(torn) + " bytes at offset " +
                               std::to_string(boundary) + "; moved it to " + side +
                               ", new records start at offset " + std::to_string(boundary));
  }
  size_t done = 0;
  if (!WriteAll(fd, data, size, &done)) {
    const int e = errno;
    *error = "cannot write history file " + path + " (" + std::to_string(done) + " of " +
             std::to_string(size) + " bytes written): " + std::strerror(e);
    ::close(fd);
    return false;
  }
  if (::close(fd) != 0) {
    *error = "cannot write history file " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
