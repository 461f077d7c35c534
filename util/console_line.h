// Console lines of the plug-in.
//
// A line is built whole and then handed to the stream in one write, followed by a flush, so the
// lines of devices sampling on different threads never interleave inside a line.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

// Writes the `length` bytes at `text` (which must already end with '\n') in one call.
inline void ConsoleWrite(std::ostream& out, const char* text, std::size_t length) {
  out.write(text, static_cast<std::streamsize>(length));
  out.flush();
}

// Writes `line` and a line end in one call.
inline void ConsoleLine(std::ostream& out, std::string line) {
  line.push_back('\n');
  ConsoleWrite(out, line.data(), line.size());
}
