// The catalogue in its three forms: every signal once, read from the slot the unit reports it
// in, under the ID the device reports it with; every value slot at its byte; the three forms
// telling the same.
#include "tools/qrmhost/catalogue_command.h"

#include <map>
#include <memory>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  std::istringstream in(text);
  for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
  if (!text.empty() && text.back() == separator) fields.push_back("");
  return fields;
}

TEST(Catalogue, SignalsAndSlotsAlikeInEveryForm) {
  Json::Value doc;
  const std::string json = CatalogueText(CatalogueFormat::kJson);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string error;
  ASSERT_TRUE(reader->parse(json.data(), json.data() + json.size(), &doc, &error)) << error;
  const Json::Value& signals = doc["signals"];
  ASSERT_EQ(signals.size(), 429u);
  std::set<std::string> ids, names;
  std::map<int, std::string> id_of_slot;
  for (Json::ArrayIndex i = 0; i < signals.size(); ++i) {
    const Json::Value& s = signals[i];
    const int number = static_cast<int>(i) + 1;
    EXPECT_EQ(s["number"].asInt(), number);
    EXPECT_EQ(s["slot"].asInt(), number == 1 ? 1 : number + 175) << number;
    EXPECT_EQ(s["condition"].asString(), number == 1 ? "slot != 1" : "slot != 0") << number;
    EXPECT_EQ(s["category"].asString(), "专用空调其他告警");
    ids.insert(s["id"].asString());
    names.insert(s["name"].asString());
    id_of_slot[s["slot"].asInt()] = s["id"].asString();
  }
  EXPECT_EQ(ids.size(), 429u);
  EXPECT_EQ(names.size(), 429u);
  EXPECT_EQ(signals[0]["id"], "120830170010");
  EXPECT_EQ(signals[0]["name"], "设备通讯状态");
  EXPECT_EQ(signals[428]["id"], "120830174290");
  EXPECT_EQ(signals[428]["name"], "2QF08-C电流越下限");
  ASSERT_EQ(doc["slots"].size(), 1269u);
  EXPECT_EQ(doc["slots"][1268]["offset"].asInt(), 5076);

  // CSV: one row per slot, the signal's columns where one reads it, the same as the JSON's.
  const std::vector<std::string> rows = Split(CatalogueText(CatalogueFormat::kCsv), '\n');
  ASSERT_EQ(rows.size(), 1271u);  // header, 1269 slots, the empty end
  EXPECT_EQ(rows.back(), "");
  int with_signal = 0;
  for (int k = 1; k <= 1269; ++k) {
    const std::vector<std::string> f = Split(rows[static_cast<size_t>(k)], ',');
    ASSERT_EQ(f.size(), 8u) << rows[static_cast<size_t>(k)];
    EXPECT_EQ(f[0], std::to_string(k));
    EXPECT_EQ(f[1], std::to_string(4 * k));
    EXPECT_EQ(f[2], doc["slots"][k - 1]["content"].asString());
    EXPECT_EQ(f[4], id_of_slot.count(k) ? id_of_slot[k] : "") << k;
    with_signal += !f[4].empty();
  }
  EXPECT_EQ(with_signal, 429);

  // Text: a row per signal, by number.
  const std::string text = CatalogueText(CatalogueFormat::kText);
  EXPECT_NE(text.find("\n     1  120830170010       1  slot != 1  设备通讯状态\n"),
            std::string::npos);
  EXPECT_NE(text.find("\n   429  120830174290     604  slot != 0  2QF08-C电流越下限\n"),
            std::string::npos);
  EXPECT_NE(text.find("\n177-604    708-2416   alarm flag (0 = normal); signals 2-429\n"),
            std::string::npos)
      << text;
  std::ostringstream out;
  EXPECT_EQ(CatalogueCommand(CatalogueFormat::kCsv, out), 0);
  EXPECT_EQ(out.str(), CatalogueText(CatalogueFormat::kCsv));
}

}  // namespace
