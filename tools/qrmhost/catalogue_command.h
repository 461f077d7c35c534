// `qrmhost catalogue`: the alarm signals a device reports and the record's value slots, as the
// plug-in's own catalogue (alarms/) defines them, for the network-management side of a site.
//
// Every signal has its number (the signal counter of a round, 1 to 429), its ID, its name (the
// host's own, as reported, and the English one made by the same rules), the value slot it
// reads, its condition (in alarm while the slot differs from the normal value, a NaN included)
// and its category; every value slot k (1 to 1269) holds leaf k of the unit's subtree at byte
// offset 4k of the 5087-byte record: the communication state (slot 1), an alarm flag (slots 177
// to 604, named as their signals) or a measurement or setting (slots 2 to 176 and 605 to 1269,
// which the unit's naming rules do not name one by one).
//
//   text  the signals as a table (the English name, then the host's), then the slots as ranges;
//   JSON  one document: {"category", "signals": [{"number", "id", "name", "name_en", "slot",
//         "normal", "condition", "category"} x 429], "slots": [{"slot", "offset", "content"[,
//         "signal", "name", "name_en"]} x 1269]};
//   CSV   a header row, then one row per value slot: slot, offset, content, and for a slot that
//         a signal reads its number, ID, name, condition, category and English name (empty
//         otherwise); the English name is the last column, so the earlier ones keep their place.
#pragma once

#include <ostream>
#include <string>

enum class CatalogueFormat { kText, kJson, kCsv };

// The catalogue in `format`, ending with a newline.
std::string CatalogueText(CatalogueFormat format);

// Writes the catalogue to `out`; returns the exit status (0, or 1 when the write failed).
int CatalogueCommand(CatalogueFormat format, std::ostream& out);
