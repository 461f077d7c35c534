// Command-line parsing for qrmhost.
//
// ParseCommand turns the arguments after the program name into a Command, or fails with one
// line naming the first problem (unknown option, missing or malformed value, missing required
// option, options that exclude each other). It never prints; the caller reports and exits
// with status 2. --help (or -h) anywhere asks for the usage, then --version for the version.
// The usage begins with "Usage:" and one line per form of the command, as help2man reads it
// for the manual page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/qrmhost/alarm_names.h"

struct RunOptions {
  std::string plugin;  // path of the plug-in library
  std::string config;  // device configuration file; empty with `ip`
  // One unit named on the command line instead of a device file: a host-driven device with
  // alarms evaluated (b_mode 2), id `id`, at `ip` ("HOST" or "HOST:PORT") and `address`.
  std::string ip;
  unsigned address = 0;
  uint32_t id = 1;
  std::string community;         // empty: the plug-in's default
  unsigned max_repetitions = 0;  // 0: the default request
  unsigned rounds = 0;           // rounds per device; 0 runs until interrupted
  double interval = 5.0;         // seconds between host-driven refreshes
  std::string history;           // history directory; empty keeps no history
  std::string events;            // event log file, "-" for standard output; empty keeps no log
  double timeout = 0.0;          // bound on the whole run in seconds; 0 means none
  NameLanguage lang = NameLanguage::kHost;  // --lang: of the alarm names in the lines
  bool verbose = false;                     // --verbose: show the plug-in's fixed lines too
};

struct DecodeOptions {
  enum Format { kText, kJson, kCsv };
  std::string file;       // history file to decode
  Format format = kText;  // text, one JSON object per record, or one CSV row per record
  NameLanguage lang = NameLanguage::kHost;  // --lang: of the alarm names
};

struct CatalogueOptions {
  DecodeOptions::Format format = DecodeOptions::kText;  // text, one JSON document, or CSV
};

struct Command {
  enum Kind { kHelp, kVersion, kRun, kDecode, kCatalogue };
  Kind kind = kHelp;
  RunOptions run;
  DecodeOptions decode;
  CatalogueOptions catalogue;
};

// Parses `args` (without the program name). Returns false and sets *error on bad input.
bool ParseCommand(const std::vector<std::string>& args, Command* command, std::string* error);

// The usage text, every option with its default, several lines ending with a newline.
const char* Usage();
