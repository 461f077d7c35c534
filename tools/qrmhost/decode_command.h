// `qrmhost decode`: prints the records of a history file.
//
// Text form: per record a heading (index, id, time), the non-zero slots and the active alarms.
// JSON form: one compact object per record per line (see RecordJson). CSV form: a header row,
// then one row per record (see RecordCsv). A trailing partial
// record is reported on `err` with its byte count after the whole records are printed, and so is
// each torn tail that a save took out of the file earlier (where it was, how long, and the side
// file that keeps it, see history_writer.h); a file beside it named as such a side file whose
// offset cannot be read (not a number, or one beyond 64 bits) is named and skipped.
// Returns the exit status: 0, or 1 when the file cannot be read, ends in a partial record or
// has such an unreadable side file beside it. Nothing read from the folder throws.
#pragma once

#include <ostream>
#include <string>

#include "tools/qrmhost/args.h"

// Alarm names are in `lang` (the text form labels them "#N NAME").
int DecodeCommand(const std::string& path, DecodeOptions::Format format, std::ostream& out,
                  std::ostream& err, NameLanguage lang = NameLanguage::kHost);
