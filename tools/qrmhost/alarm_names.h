// How qrmhost names alarm signals to people: by signal number and by name, in the host's own
// words (the names the plug-in reports, byte for byte) or in English (--lang en), from the
// plug-in's own catalogue (alarms/alarm_catalogue.h).
//
// A label is "#N NAME", e.g. "#3 第一路U1上限" or, in English, "#3 incoming line 1 L1 voltage
// above upper limit". A name that is not the catalogue's is shown as it was reported, in either
// language; a number 0 (unknown) is left out.
#pragma once

#include <string>
#include <vector>

enum class NameLanguage { kHost, kEnglish };

// "zh" (the host's own names, the default) or "en". False on anything else.
bool ParseNameLanguage(const std::string& text, NameLanguage* out);

// The signal number (catalogue position, 1 to 429) whose host name is `name`; 0 when none is.
int SignalNumberOf(const std::string& name);

// The name of signal `number` (1 to 429) in `lang`; empty for any other number.
std::string SignalName(int number, NameLanguage lang);

// "#N NAME" for a signal reported with `number` under `name` (see above).
std::string SignalLabel(int number, const std::string& name, NameLanguage lang);

// Labels joined by ", ": at most `shown` of them, then " and N more".
std::string JoinLabels(const std::vector<std::string>& labels, size_t shown);
