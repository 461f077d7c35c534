// Small helpers shared by the test suites: JSON text to a value, float bit patterns, and
// reading value slots out of a published record image.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "frame/record.h"

// Parses JSON text; a parse error fails the current test.
// True when `text` ends with `end`.
inline bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

inline Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errors)) << errors;
  return v;
}

inline uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Value slot k of a record image (as published or saved).
inline float ImageSlot(const std::vector<unsigned char>& image, int k) {
  float v;
  std::memcpy(&v, image.data() + SlotOffset(k), sizeof v);
  return v;
}
