// A stream buffer that keeps what is written to it and checks how: a line written in several
// calls (text, then its line end) can be split by another thread's line, so every call must hand
// over whole lines, ending with a line end. Thread-safe.
#pragma once

#include <mutex>
#include <streambuf>
#include <string>

class WholeLineSink : public std::streambuf {
 public:
  std::string text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  // The first call that did not hand over whole lines, or "" when every call did.
  std::string FirstSplitWrite() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return split_;
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1), c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string call(s, static_cast<size_t>(n));
    text_ += call;
    if (split_.empty() && (call.size() < 2 || call.back() != '\n')) split_ = "[" + call + "]";
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_, split_;
};
