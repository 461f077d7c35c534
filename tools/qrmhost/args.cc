#include "tools/qrmhost/args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

namespace {

bool ParseSeconds(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0) return false;
  *out = v;
  return true;
}

bool ParseRounds(const std::string& text, unsigned* out) {
  if (text.empty() || text.size() > 9) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v == 0) return false;
  *out = v;
  return true;
}

// Takes "--lang" (with its value at args[i + 1], or "--lang=L") at args[i] into *lang, moving i
// past the value; false when args[i] is not --lang. Sets *error on a bad or missing value.
bool ParseLang(const std::string& command, const std::vector<std::string>& args, size_t* i,
               NameLanguage* lang, std::string* error) {
  const std::string& arg = args[*i];
  std::string value;
  if (arg.compare(0, 7, "--lang=") == 0) {
    value = arg.substr(7);
  } else if (arg == "--lang") {
    if (*i + 1 >= args.size()) {
      *error = command + ": option --lang needs a value";
      return true;
    }
    value = args[++*i];
  } else {
    return false;
  }
  if (!ParseNameLanguage(value, lang)) {
    *error = command + ": invalid value '" + value + "' for --lang (expected en or zh)";
  }
  return true;
}

// A decimal integer from `low` to `high`, without sign or spaces.
bool ParseInteger(const std::string& text, unsigned long long low, unsigned long long high,
                  unsigned long long* out) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v < low || v > high) return false;
  *out = v;
  return true;
}

// Splits "--name=value" into name and value; "--name" alone leaves *has_value false.
void SplitOption(const std::string& arg, std::string* name, std::string* value, bool* has_value) {
  const std::string::size_type eq = arg.find('=');
  *has_value = arg.compare(0, 2, "--") == 0 && eq != std::string::npos;
  *name = *has_value ? arg.substr(0, eq) : arg;
  *value = *has_value ? arg.substr(eq + 1) : std::string();
}

bool ParseRun(const std::vector<std::string>& args, RunOptions* run, std::string* error) {
  const std::map<std::string, std::string*> texts = {
      {"--plugin", &run->plugin}, {"--config", &run->config}, {"--history", &run->history},
      {"--events", &run->events}, {"--ip", &run->ip},         {"--community", &run->community}};
  static const char* const kNumbers[] = {"--rounds",  "--interval", "--timeout",
                                         "--address", "--id",       "--max-repetitions"};
  bool address_given = false;
  for (size_t i = 1; i < args.size(); ++i) {
    if (ParseLang("run", args, &i, &run->lang, error)) {
      if (!error->empty()) return false;
      continue;
    }
    if (args[i] == "--verbose") {
      run->verbose = true;
      continue;
    }
    std::string name, value;
    bool has_value = false;
    SplitOption(args[i], &name, &value, &has_value);
    const auto text = texts.find(name);
    bool number = false;
    for (const char* n : kNumbers) number = number || name == n;
    if (text == texts.end() && !number) {
      *error = "run: unknown option '" + args[i] + "'";
      return false;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) {
        *error = "run: option " + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    bool ok;
    const char* expected;
    unsigned long long n = 0;
    if (text != texts.end()) {
      *text->second = value;
      ok = !value.empty();
      expected = name == "--ip"          ? "HOST or HOST:PORT"
                 : name == "--community" ? "a non-empty text"
                                         : "a non-empty path";
    } else if (name == "--rounds") {
      ok = ParseRounds(value, &run->rounds);
      expected = "a positive integer";
    } else if (name == "--interval") {
      ok = ParseSeconds(value, &run->interval);
      expected = "a number of seconds >= 0";
    } else if (name == "--timeout") {
      ok = ParseSeconds(value, &run->timeout) && run->timeout > 0;
      expected = "a number of seconds > 0";
    } else if (name == "--address") {
      ok = ParseInteger(value, 0, 255, &n);
      run->address = static_cast<unsigned>(n);
      address_given = ok;
      expected = "an integer from 0 to 255";
    } else if (name == "--id") {
      ok = ParseInteger(value, 0, 4294967295ULL, &n);
      run->id = static_cast<uint32_t>(n);
      expected = "an integer from 0 to 4294967295";
    } else {
      ok = ParseInteger(value, 1, 10000, &n);
      run->max_repetitions = static_cast<unsigned>(n);
      expected = "an integer from 1 to 10000";
    }
    if (!ok) {
      *error = "run: invalid value '" + value + "' for " + name + " (expected " + expected + ")";
      return false;
    }
  }
  if (run->plugin.empty()) {
    *error = "run: --plugin PATH is required";
    return false;
  }
  const bool one_unit = !run->ip.empty();
  if (one_unit == !run->config.empty()) {
    *error = one_unit ? "run: --config and --ip exclude each other (a device file, or one unit)"
                      : "run: --ip HOST --address N, or --config FILE, is required";
    return false;
  }
  if (one_unit && !address_given) {
    *error = "run: --ip needs --address N (the unit's address byte, 0 to 255)";
    return false;
  }
  for (const char* option : {"--address", "--id", "--community", "--max-repetitions"}) {
    if (one_unit) break;
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == option || args[i].rfind(std::string(option) + "=", 0) == 0) {
        *error = std::string("run: ") + option + " goes with --ip; with --config, the device " +
                 "file holds it";
        return false;
      }
    }
  }
  return true;
}

// Takes --json or --csv at args[i] into *format; false when args[i] is neither. Sets *error
// when both are given.
bool ParseFormat(const std::string& command, const std::string& arg, DecodeOptions::Format* format,
                 std::string* error) {
  if (arg != "--json" && arg != "--csv") return false;
  const DecodeOptions::Format wanted = arg == "--json" ? DecodeOptions::kJson : DecodeOptions::kCsv;
  if (*format != DecodeOptions::kText && *format != wanted) {
    *error = command + ": --json and --csv exclude each other";
  }
  *format = wanted;
  return true;
}

bool ParseDecode(const std::vector<std::string>& args, DecodeOptions* decode, std::string* error) {
  for (size_t i = 1; i < args.size(); ++i) {
    if (ParseFormat("decode", args[i], &decode->format, error) ||
        ParseLang("decode", args, &i, &decode->lang, error)) {
      if (!error->empty()) return false;
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      *error = "decode: unknown option '" + args[i] + "'";
      return false;
    } else if (decode->file.empty()) {
      decode->file = args[i];
    } else {
      *error = "decode: unexpected argument '" + args[i] + "' (one FILE only)";
      return false;
    }
  }
  if (decode->file.empty()) {
    *error = "decode: FILE is required";
    return false;
  }
  return true;
}

bool ParseCatalogue(const std::vector<std::string>& args, CatalogueOptions* catalogue,
                    std::string* error) {
  for (size_t i = 1; i < args.size(); ++i) {
    if (ParseFormat("catalogue", args[i], &catalogue->format, error)) {
      if (!error->empty()) return false;
    } else {
      *error = args[i].size() > 1 && args[i][0] == '-'
                   ? "catalogue: unknown option '" + args[i] + "'"
                   : "catalogue: unexpected argument '" + args[i] + "'";
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseCommand(const std::vector<std::string>& args, Command* command, std::string* error) {
  *command = Command();
  if (args.empty()) {
    *error = "a command is required";
    return false;
  }
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") return true;  // help wins wherever it appears
  }
  if (args[0] == "help") return true;
  for (const std::string& arg : args) {
    if (arg == "--version") {
      command->kind = Command::kVersion;
      return true;
    }
  }
  if (args[0] == "run") {
    command->kind = Command::kRun;
    return ParseRun(args, &command->run, error);
  }
  if (args[0] == "decode") {
    command->kind = Command::kDecode;
    return ParseDecode(args, &command->decode, error);
  }
  if (args[0] == "catalogue") {
    command->kind = Command::kCatalogue;
    return ParseCatalogue(args, &command->catalogue, error);
  }
  *error = "unknown command '" + args[0] + "'";
  return false;
}

const char* Usage() {
  return "Usage: qrmhost run --plugin PATH --ip HOST[:PORT] --address N [OPTION]...\n"
         "  or:  qrmhost run --plugin PATH --config FILE [OPTION]...\n"
         "  or:  qrmhost decode FILE [--json | --csv]\n"
         "  or:  qrmhost catalogue [--json | --csv]\n"
         "  or:  qrmhost --help | --version\n"
         "The reference host of the snmp_marluxa_ac_power plug-in: loads the plug-in, drives its\n"
         "devices as the QRM host framework does and reports every round and walk; reads the\n"
         "history files the devices leave and prints the plug-in's alarm catalogue.\n"
         "\n"
         "Commands:\n"
         "  run          poll one unit named by --ip and --address, or create one device per\n"
         "               entry of the device file, and refresh each every\n"
         "               --interval seconds, as a host does: a host-driven device walks on each\n"
         "               refresh, on a host thread of its own; an own-thread device walks on its\n"
         "               own thread every 5 s. Prints a line per round (the walk's peer, outcome\n"
         "               and duration, the slots changed, the alarms) and, at the end, one per\n"
         "               device (walks timed out, failed or found nothing, walk times).\n"
         "  decode       print every record of the history file FILE.\n"
         "  catalogue    print the 429 alarm signals (number, ID, value slot, condition, name,\n"
         "               category) and the record's value slots.\n"
         "\n"
         "Options:\n"
         "  --plugin PATH     run: the plug-in library (required)\n"
         "  --ip HOST[:PORT]  run: poll the one unit whose SNMP agent is at HOST (port 161\n"
         "                    unless given), host-driven, alarms evaluated, without a device\n"
         "                    file (required unless --config)\n"
         "  --address N       run, with --ip: the unit's address byte, 0 to 255 (required)\n"
         "  --community C     run, with --ip: the SNMPv2c community (default Tormelix@2027q)\n"
         "  --max-repetitions R\n"
         "                    run, with --ip: the fast request, GETBULK with R repetitions,\n"
         "                    1 to 10000 (default: the plug-in's default request)\n"
         "  --id ID           run, with --ip: the device id, which names its history file\n"
         "                    (default 1)\n"
         "  --config FILE     run: the device file, one device object or {\"devices\": [...]},\n"
         "                    for a fleet; its keys are listed under DEVICE FILE in qrmhost(1)\n"
         "                    (required unless --ip)\n"
         "  --rounds N        run: stop after N rounds per device (default: until interrupted)\n"
         "  --interval S      run: seconds between a device's refreshes (default 5)\n"
         "  --history DIR     run: append each saved record to DIR/<id>.rec (default: no\n"
         "                    history)\n"
         "  --events FILE     run: append one JSON line per host call and per walk; - for\n"
         "                    standard output, which then carries the events alone: the\n"
         "                    plug-in's lines and the summaries go to standard error (default:\n"
         "                    no event log)\n"
         "  --timeout S       run: bound on the whole run in seconds: at the bound, walks\n"
         "                    still under way are abandoned (named, and what they read is not\n"
         "                    saved) and qrmhost ends within about a second; the first\n"
         "                    interrupt does the same (default: no bound)\n"
         "  --lang L          run, decode: alarm names in English (en) or in the host's own\n"
         "                    words (zh, the default, as the plug-in reports them)\n"
         "  --verbose         run: also show the plug-in's fixed lines (InitSetting ...,\n"
         "                    SNMP_MARLUXA_AC_POWER::do_sample, rvSize is N), which it writes\n"
         "                    for the host framework (default: not shown)\n"
         "  --json            decode: one JSON object per record per line; catalogue: one JSON\n"
         "                    document (default: text)\n"
         "  --csv             decode: a header row, then one row per record (id, time, slots\n"
         "                    1-1269; NaN and infinities as empty cells); catalogue: a header\n"
         "                    row, then one row per value slot (default: text)\n"
         "  -h, --help        print this text and exit\n"
         "  --version         print the version and exit\n"
         "\n"
         "Times are ISO 8601 with the offset from UTC of the local time zone (TZ).\n"
         "\n"
         "Exit status:\n"
         "  0  run: every device published every round asked and every walk got an answer\n"
         "     with values; decode, catalogue: everything read and written\n"
         "  1  the plug-in or the device file could not be loaded, a device published fewer\n"
         "     rounds than asked without a time bound, the event log could not be written,\n"
         "     or decode found a partial record, could not read the file or found a side\n"
         "     file whose offset cannot be read\n"
         "  2  a wrong option or value, named in one line on standard error\n"
         "  3  run: every device ran, but some walk timed out, failed or found nothing under\n"
         "     the unit's root; the device's closing line says which\n"
         "  4  run: some record could not be saved in the history (records lost); the\n"
         "     device's closing line says how many\n"
         "  5  run: cut short: the time bound or an interrupt abandoned walks under way, or\n"
         "     the time bound came before every device published the rounds asked\n"
         "Where several apply, run exits with the first of 1, 4, 5 and 3.\n";
}
