// Reading the 5087-byte device record: its id, time stamp, value slots and active alarms.
//
// Shared by the run (summaries, events) and by decode. Every function takes a pointer to a
// whole image of kRecordSize bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "tools/qrmhost/alarm_names.h"

// The time in a 7-byte stamp (year u16 little-endian, month, day, hour, minute, second);
// not_a_date_time when the fields do not form a valid date and time (all zero included).
boost::posix_time::ptime DecodeStamp(const unsigned char* stamp);

// ISO 8601 with the offset from UTC: "YYYY-MM-DDTHH:MM:SS+HH:MM". The stamp holds local time
// without a zone; the offset is the one the local time zone (TZ) has at that date and time,
// so a record is read as written in the zone of the reader. A stamp that is not a valid time,
// or one the system cannot place in its zone, is shown field by field as stored, in the same
// layout without the offset, so nothing is hidden.
std::string StampText(const unsigned char* stamp);

struct DecodedRecord {
  uint32_t id = 0;
  std::string time;          // StampText of the stamp
  std::vector<float> slots;  // slots[k - 1] is value slot k
};

DecodedRecord DecodeRecord(const unsigned char* image);

// Signal numbers (catalogue positions, 1 to 429) of the catalogue entries whose slot differs
// from the entry's normal value (exact comparison; NaN always differs), in catalogue order. The
// record alone says this, whatever the frame mode: the slots hold the unit's alarm states.
std::vector<int> ActiveSignals(const DecodedRecord& record);

// The names of ActiveSignals in `lang`.
std::vector<std::string> ActiveAlarms(const DecodedRecord& record,
                                      NameLanguage lang = NameLanguage::kHost);

// Number of value slots whose bytes differ between two images.
int ChangedSlots(const unsigned char* before, const unsigned char* after);

// Shortest decimal text that reads back as the same float ("230.2", "nan", "inf").
std::string FloatText(float value);

// {"id":..,"time":..,"slots":[1269 numbers, NaN and infinities as null],"alarms":[names in
// `lang`],"alarm_signals":[their signal numbers]}
Json::Value RecordJson(const DecodedRecord& record, NameLanguage lang = NameLanguage::kHost);

// CSV: the header "id,time,slot1,...,slot1269" and one row per record with the same columns,
// the slots as shortest decimal text, NaN and infinities as empty cells. No field needs quoting.
// Both end with a newline.
std::string CsvHeader();
std::string RecordCsv(const DecodedRecord& record);

// Readable form: a heading line with the index, id and time, the non-zero slots as slot=value
// pairs, and the active alarms as "#N NAME" labels in `lang`. Ends with a newline.
std::string RecordText(size_t index, const DecodedRecord& record,
                       NameLanguage lang = NameLanguage::kHost);
