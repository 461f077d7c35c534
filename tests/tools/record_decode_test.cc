// Record decoding: stamps, slots, alarms, and the decode command's text and JSON forms.
#include "tools/qrmhost/record_decode.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "alarms/alarm_catalogue.h"
#include "tests/tools/record_images.h"
#include "tests/support/temp_dir.h"
#include "tools/qrmhost/decode_command.h"

namespace {

TEST(Stamp, DecodesLittleEndianYearThenFields) {
  const ScopedTimeZone utc("UTC0");
  const unsigned char stamp[kStampSize] = {0xEA, 0x07, 12, 7, 20, 15, 3};
  const boost::posix_time::ptime t = DecodeStamp(stamp);
  ASSERT_FALSE(t.is_not_a_date_time());
  EXPECT_EQ(t.date().year(), 2026);
  EXPECT_EQ(t.date().month(), 12);
  EXPECT_EQ(t.time_of_day().seconds(), 3);
  EXPECT_EQ(StampText(stamp), "2026-12-07T20:15:03+00:00");
  const unsigned char early[kStampSize] = {0xD0, 0x07, 1, 2, 0, 0, 9};  // 2000-01-02
  EXPECT_EQ(StampText(early), "2000-01-02T00:00:09+00:00");
}

// The offset is the zone's at the stamp's own date, not at the time of reading.
TEST(Stamp, OffsetFromUtcIsTheLocalZonesAtThatTime) {
  const unsigned char winter[kStampSize] = {0xEA, 0x07, 12, 7, 20, 15, 3};
  const unsigned char summer[kStampSize] = {0xEA, 0x07, 7, 1, 12, 0, 0};
  {
    const ScopedTimeZone berlin("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(StampText(winter), "2026-12-07T20:15:03+01:00");
    EXPECT_EQ(StampText(summer), "2026-07-01T12:00:00+02:00");
  }
  {
    const ScopedTimeZone india("<+0530>-5:30");
    EXPECT_EQ(StampText(winter), "2026-12-07T20:15:03+05:30");
  }
  {
    const ScopedTimeZone newfoundland("<-0330>3:30");
    EXPECT_EQ(StampText(summer), "2026-07-01T12:00:00-03:30");
  }
}

TEST(Stamp, InvalidStampsAreShownAsStored) {
  const unsigned char zero[kStampSize] = {};
  EXPECT_TRUE(DecodeStamp(zero).is_not_a_date_time());
  EXPECT_EQ(StampText(zero), "0000-00-00T00:00:00");
  const unsigned char feb30[kStampSize] = {0xEA, 0x07, 2, 30, 1, 2, 3};
  EXPECT_TRUE(DecodeStamp(feb30).is_not_a_date_time());
  EXPECT_EQ(StampText(feb30), "2026-02-30T01:02:03");
  const unsigned char hour24[kStampSize] = {0xEA, 0x07, 2, 3, 24, 0, 0};
  EXPECT_TRUE(DecodeStamp(hour24).is_not_a_date_time());
}

TEST(RecordDecode, SlotsAlarmsAndChanges) {
  const ScopedTimeZone utc("UTC0");
  auto r = MakeRecord(9);
  SetSlot(r, 5, 230.2f);
  const auto& catalogue = AlarmCatalogue();
  SetSlot(r, catalogue[1].slot, 1.0f);                                     // alarm
  SetSlot(r, catalogue[2].slot, std::numeric_limits<float>::quiet_NaN());  // NaN is an alarm
  SetSlot(r, catalogue[3].slot, -0.0f);  // equal to the normal 0: no alarm
  const DecodedRecord d = DecodeRecord(RecordBytes(r));
  EXPECT_EQ(d.id, 9u);
  EXPECT_EQ(d.time, "2026-12-07T20:15:03+00:00");
  ASSERT_EQ(d.slots.size(), static_cast<size_t>(kSlotCount));
  EXPECT_EQ(d.slots[4], 230.2f);
  EXPECT_EQ(ActiveAlarms(d), (std::vector<std::string>{catalogue[1].name, catalogue[2].name}));
  SetSlot(r, 1, 0.0f);
  EXPECT_EQ(ActiveAlarms(DecodeRecord(RecordBytes(r))).front(), catalogue[0].name);
  const auto base = MakeRecord(9);
  EXPECT_EQ(ChangedSlots(RecordBytes(base), RecordBytes(base)), 0);
  EXPECT_EQ(ChangedSlots(RecordBytes(base), RecordBytes(r)), 5);
  EXPECT_EQ(FloatText(230.2f), "230.2");
  EXPECT_EQ(FloatText(-std::numeric_limits<float>::infinity()), "-inf");
}

class DecodeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    first_ = MakeRecord(1, 0);
    SetSlot(first_, 2, 230.2f);
    second_ = MakeRecord(1, 5);
    SetSlot(second_, 2, std::numeric_limits<float>::quiet_NaN());
    SetSlot(second_, 3, std::numeric_limits<float>::infinity());
    SetSlot(second_, AlarmCatalogue()[1].slot, 2.0f);
    path_ = dir_.Write("1.rec", Bytes(first_) + Bytes(second_) + std::string(100, '\0'));
  }
  const ScopedTimeZone utc_{"UTC0"};
  TempDir dir_;
  SNMP_MARLUXA_AC_POWER_Data_t first_, second_;
  std::string path_;
};

TEST_F(DecodeFile, TextListsRecordsThenReportsThePartialTail) {
  std::ostringstream out, err;
  EXPECT_EQ(DecodeCommand(path_, DecodeOptions::kText, out, err), 1);
  const std::string text = out.str();
  EXPECT_NE(text.find("record 0: id 1, time 2026-12-07T20:15:03+00:00\n  slots: 1=1 2=230.2\n"
                      "  alarms (0):\n"),
            std::string::npos)
      << text;
  EXPECT_NE(
      text.find("record 1: id 1, time 2026-12-07T20:15:08+00:00\n  slots: 1=1 2=nan 3=inf 177=2\n"
                "  alarms (1): #2 " +
                AlarmCatalogue()[1].name + "\n"),
      std::string::npos)
      << text;
  std::ostringstream english, ignored;
  DecodeCommand(path_, DecodeOptions::kText, english, ignored, NameLanguage::kEnglish);
  EXPECT_NE(english.str().find("  alarms (1): #2 incoming line 1 L1 voltage above upper-upper "
                               "limit\n"),
            std::string::npos)
      << english.str();
  EXPECT_EQ(err.str(),
            "qrmhost: " + path_ + ": trailing partial record of 100 bytes after 2 whole records\n");
}

// Where a save found the file torn and took the tail out, decode says so, with the side file.
TEST_F(DecodeFile, TellsWhereTornTailsWereTakenOut) {
  const std::string whole = dir_.Write("2.rec", Bytes(first_) + Bytes(second_));
  dir_.Write("2.rec.torn-5087", std::string(100, 'x'));
  dir_.Write("2.rec.torn-0", std::string(7, 'x'));
  dir_.Write("2.rec.torn-", "not a tail: no offset");
  dir_.Write("12.rec.torn-0", "another device's");
  std::ostringstream out, err;
  EXPECT_EQ(DecodeCommand(whole, DecodeOptions::kCsv, out, err), 0);
  // A side file no save wrote, with an offset beyond 64 bits: named, skipped, status 1.
  dir_.Write("2.rec.torn-18446744073709551616", "x");
  dir_.Write("2.rec.torn-18446744073709551615", "y");  // the largest offset that fits
  out.str("");
  err.str("");
  EXPECT_EQ(DecodeCommand(whole, DecodeOptions::kCsv, out, err), 1);
  const std::string csv = out.str();
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3) << "header and two records";
  EXPECT_EQ(err.str(), "qrmhost: " + whole +
                           ": a partial record of 7 bytes was taken out at offset 0 (after 0 whole "
                           "records) and kept in " +
                           dir_ / "2.rec.torn-0" + "\nqrmhost: " + whole +
                           ": a partial record of 100 bytes was taken out at offset 5087 (after 1 "
                           "whole records) and kept in " +
                           dir_ / "2.rec.torn-5087" + "\nqrmhost: " + whole +
                           ": a partial record of 1 bytes was taken out at offset "
                           "18446744073709551615 (after 3626252029429831 whole records) and kept "
                           "in " +
                           dir_ / "2.rec.torn-18446744073709551615" + "\nqrmhost: " + whole + ": " +
                           dir_ / "2.rec.torn-18446744073709551616" +
                           " is named as a partial record taken out of it, but its offset is not "
                           "a number that fits 64 bits; skipped\n");
}

TEST_F(DecodeFile, JsonIsOneObjectPerRecordWithNullForNaN) {
  std::ostringstream out, err;
  EXPECT_EQ(DecodeCommand(path_, DecodeOptions::kJson, out, err), 1);
  EXPECT_NE(err.str().find("100 bytes"), std::string::npos);
  std::istringstream lines(out.str());
  std::vector<Json::Value> records;
  for (std::string line; std::getline(lines, line);) {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value v;
    std::string errors;
    ASSERT_TRUE(r->parse(line.data(), line.data() + line.size(), &v, &errors)) << errors;
    records.push_back(v);
  }
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["id"].asUInt(), 1u);
  EXPECT_EQ(records[0]["time"], "2026-12-07T20:15:03+00:00");
  ASSERT_EQ(records[0]["slots"].size(), static_cast<unsigned>(kSlotCount));
  EXPECT_EQ(records[0]["slots"][0].asDouble(), 1.0);
  EXPECT_EQ(static_cast<float>(records[0]["slots"][1].asDouble()), 230.2f);
  EXPECT_NE(out.str().find(",230.2,"), std::string::npos) << "shortest text";
  EXPECT_EQ(records[0]["alarms"].size(), 0u);
  EXPECT_TRUE(records[1]["slots"][1].isNull()) << "NaN";
  EXPECT_TRUE(records[1]["slots"][2].isNull()) << "infinity";
  ASSERT_EQ(records[1]["alarms"].size(), 1u);
  EXPECT_EQ(records[1]["alarms"][0].asString(), AlarmCatalogue()[1].name);
  ASSERT_EQ(records[1]["alarm_signals"].size(), 1u);
  EXPECT_EQ(records[1]["alarm_signals"][0].asInt(), 2);
}

TEST_F(DecodeFile, CsvIsAHeaderThenOneRowPerRecordWithEmptyCellsForNaN) {
  std::ostringstream out, err;
  EXPECT_EQ(DecodeCommand(path_, DecodeOptions::kCsv, out, err), 1);
  EXPECT_NE(err.str().find("trailing partial record of 100 bytes"), std::string::npos);
  std::istringstream lines(out.str());
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cells;
    std::istringstream fields(line + ",");  // a last empty cell is a cell
    for (std::string cell; std::getline(fields, cell, ',');) cells.push_back(cell);
    EXPECT_EQ(cells.size(), 2u + kSlotCount) << line.substr(0, 80);
    rows.push_back(cells);
  }
  ASSERT_EQ(rows.size(), 3u) << "header and two whole records";
  EXPECT_EQ(rows[0][0], "id");
  EXPECT_EQ(rows[0][1], "time");
  EXPECT_EQ(rows[0][2], "slot1");
  EXPECT_EQ(rows[0].back(), "slot1269");
  EXPECT_EQ(rows[1][0], "1");
  EXPECT_EQ(rows[1][1], "2026-12-07T20:15:03+00:00");
  EXPECT_EQ(rows[1][2], "1");
  EXPECT_EQ(rows[1][3], "230.2") << "slot 2, shortest text";
  EXPECT_EQ(rows[1].back(), "0");
  EXPECT_EQ(rows[2][1], "2026-12-07T20:15:08+00:00");
  EXPECT_EQ(rows[2][3], "") << "NaN";
  EXPECT_EQ(rows[2][4], "") << "infinity";
  EXPECT_EQ(rows[2][1 + AlarmCatalogue()[1].slot], "2");
}

TEST_F(DecodeFile, WholeFileSucceedsAndMissingFileFails) {
  const std::string whole = dir_.Write("2.rec", Bytes(first_) + Bytes(second_));
  std::ostringstream out, err;
  EXPECT_EQ(DecodeCommand(whole, DecodeOptions::kText, out, err), 0);
  EXPECT_EQ(err.str(), "");
  EXPECT_NE(out.str().find("record 1:"), std::string::npos);
  std::ostringstream out2, err2;
  EXPECT_EQ(DecodeCommand(dir_ / "none.rec", DecodeOptions::kText, out2, err2), 1);
  EXPECT_NE(err2.str().find("cannot read history file " + dir_ / "none.rec"), std::string::npos);
  std::ostringstream out3, err3;
  EXPECT_EQ(DecodeCommand(dir_.Write("empty.rec", ""), DecodeOptions::kJson, out3, err3), 0);
  EXPECT_EQ(out3.str(), "");
}

}  // namespace
