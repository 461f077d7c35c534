// The catalogue: every signal once, read from the slot the unit reports it in, under the ID the
// device reports it with; every value slot at its byte; the JSON and CSV forms telling the same.
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
  std::set<std::string> ids, names;
  std::map<int, std::string> id_of_slot;
  for (Json::ArrayIndex i = 0; i < signals.size(); ++i) {
    const Json::Value& s = signals[i];
    EXPECT_EQ(s["slot"].asInt(), i == 0 ? 1 : static_cast<int>(i) + 176) << i;
    EXPECT_EQ(s["condition"].asString(), i == 0 ? "slot != 1" : "slot != 0") << i;
    EXPECT_EQ(s["category"].asString(), "专用空调其他告警");
    ids.insert(s["id"].asString());
    names.insert(s["name"].asString());
    id_of_slot[s["slot"].asInt()] = s["id"].asString();
  }
  EXPECT_EQ(ids.size() + names.size(), 858u) << "every ID and name once";
  EXPECT_EQ(signals[0]["id"].asString() + signals[0]["name"].asString(),
            "120830170010设备通讯状态");
  EXPECT_EQ(signals[428]["id"].asString() + signals[428]["name"].asString(),
            "1208301742902QF08-C电流越下限");

  // CSV: one row per slot of eight fields, the signal's where one reads it, as in the JSON.
  std::istringstream rows(CatalogueText(CatalogueFormat::kCsv));
  std::string row;
  std::getline(rows, row);
  int k = 0;
  for (; std::getline(rows, row) && k < 2000; ++k) {
    std::vector<std::string> f;
    std::istringstream fields(row + ",");
    for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
    ASSERT_EQ(f.size(), 8u) << row;
    EXPECT_EQ(f[0] + "@" + f[1], std::to_string(k + 1) + "@" + std::to_string(4 * (k + 1)));
    EXPECT_EQ(f[2], doc["slots"][k]["content"].asString()) << row;
    EXPECT_EQ(f[4], id_of_slot.count(k + 1) ? id_of_slot[k + 1] : "") << row;
  }
  EXPECT_EQ(k, 1269);
  EXPECT_NE(CatalogueText(CatalogueFormat::kText)
                .find("\n   429  120830174290     604  slot != 0  2QF08-C电流越下限\n"),
            std::string::npos);
}

}  // namespace
