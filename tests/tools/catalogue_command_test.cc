// The catalogue: every signal once, read from the slot the unit reports it in, under the ID the
// device reports it with, with its host name and its English one; every value slot at its byte,
// named as the signal that reads it; the JSON and CSV forms telling the same.
#include "tools/qrmhost/catalogue_command.h"

#include <map>
#include <memory>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

namespace {

TEST(Catalogue, SignalsAndSlotsAlikeInEveryForm) {
  Json::Value doc;
  const std::string json = CatalogueText(CatalogueFormat::kJson);
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  ASSERT_TRUE(reader->parse(json.data(), json.data() + json.size(), &doc, nullptr));
  const Json::Value& signals = doc["signals"];
  ASSERT_EQ(signals.size(), 429u);
  std::set<std::string> ids, names, english;
  std::map<int, std::string> id_of_slot, english_of_slot;
  for (Json::ArrayIndex i = 0; i < signals.size(); ++i) {
    const Json::Value& s = signals[i];
    EXPECT_EQ(s["slot"].asInt(), i == 0 ? 1 : static_cast<int>(i) + 176) << i;
    EXPECT_EQ(s["condition"].asString(), i == 0 ? "slot != 1" : "slot != 0") << i;
    EXPECT_EQ(s["category"].asString(), "专用空调其他告警");
    ids.insert(s["id"].asString());
    names.insert(s["name"].asString());
    english.insert(s["name_en"].asString());
    id_of_slot[s["slot"].asInt()] = s["id"].asString();
    english_of_slot[s["slot"].asInt()] = s["name_en"].asString();
    const Json::Value& slot = doc["slots"][s["slot"].asInt() - 1];
    EXPECT_EQ(slot["name"].asString() + "|" + slot["name_en"].asString(),
              s["name"].asString() + "|" + s["name_en"].asString());
  }
  EXPECT_EQ(ids.size() + names.size() + english.size(), 3 * 429u) << "each once";
  EXPECT_EQ(english.count(""), 0u);
  EXPECT_EQ(doc["slots"][1]["name_en"], Json::Value()) << "slot 2 reads no signal";
  EXPECT_EQ(signals[0]["name_en"].asString(), "device communication state");
  EXPECT_EQ(signals[1]["name"].asString() + "|" + signals[1]["name_en"].asString(),
            "第一路U1上上限|incoming line 1 L1 voltage above upper-upper limit");
  EXPECT_EQ(signals[0]["id"].asString() + signals[0]["name"].asString(),
            "120830170010设备通讯状态");
  EXPECT_EQ(signals[428]["id"].asString() + signals[428]["name"].asString(),
            "1208301742902QF08-C电流越下限");

  // CSV: one row per slot of nine fields, the signal's where one reads it, as in the JSON.
  std::istringstream rows(CatalogueText(CatalogueFormat::kCsv));
  std::string row;
  std::getline(rows, row);
  int k = 0;
  for (; std::getline(rows, row) && k < 2000; ++k) {
    std::vector<std::string> f;
    std::istringstream fields(row + ",");
    for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
    ASSERT_EQ(f.size(), 9u) << row;
    EXPECT_EQ(f[0] + "@" + f[1], std::to_string(k + 1) + "@" + std::to_string(4 * (k + 1)));
    EXPECT_EQ(f[2], doc["slots"][k]["content"].asString()) << row;
    EXPECT_EQ(f[4], id_of_slot.count(k + 1) ? id_of_slot[k + 1] : "") << row;
    EXPECT_EQ(f[8], english_of_slot.count(k + 1) ? english_of_slot[k + 1] : "") << row;
  }
  EXPECT_EQ(k, 1269);
  const std::string text = CatalogueText(CatalogueFormat::kText);
  EXPECT_NE(text.find("\n   429  120830174290     604  slot != 0  2QF08 phase C current below "
                      "lower limit "),
            std::string::npos)
      << text.substr(0, 600);
  EXPECT_NE(text.find("  2QF08-C电流越下限\n"), std::string::npos);
}

}  // namespace
