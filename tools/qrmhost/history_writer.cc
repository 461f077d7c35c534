#include "tools/qrmhost/history_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

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

bool HistoryWriter::Append(uint32_t id, const unsigned char* data, size_t size,
                           std::string* error) const {
  const std::string path = PathFor(id);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open history file " + path + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = n < 0 ? errno : EIO;
      *error = "cannot write history file " + path + " (" + std::to_string(done) + " of " +
               std::to_string(size) + " bytes written): " + std::strerror(e);
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    *error = "cannot write history file " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
