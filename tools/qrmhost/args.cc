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

// Splits "--name=value" into name and value; "--name" alone leaves *has_value false.
void SplitOption(const std::string& arg, std::string* name, std::string* value, bool* has_value) {
  const std::string::size_type eq = arg.find('=');
  *has_value = arg.compare(0, 2, "--") == 0 && eq != std::string::npos;
  *name = *has_value ? arg.substr(0, eq) : arg;
  *value = *has_value ? arg.substr(eq + 1) : std::string();
}

bool ParseRun(const std::vector<std::string>& args, RunOptions* run, std::string* error) {
  const std::map<std::string, std::string*> paths = {{"--plugin", &run->plugin},
                                                     {"--config", &run->config},
                                                     {"--history", &run->history},
                                                     {"--events", &run->events}};
  for (size_t i = 1; i < args.size(); ++i) {
    std::string name, value;
    bool has_value = false;
    SplitOption(args[i], &name, &value, &has_value);
    const auto path = paths.find(name);
    if (path == paths.end() && name != "--rounds" && name != "--interval" && name != "--timeout") {
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
    if (path != paths.end()) {
      *path->second = value;
      ok = !value.empty();
      expected = "a non-empty path";
    } else if (name == "--rounds") {
      ok = ParseRounds(value, &run->rounds);
      expected = "a positive integer";
    } else if (name == "--interval") {
      ok = ParseSeconds(value, &run->interval);
      expected = "a number of seconds >= 0";
    } else {
      ok = ParseSeconds(value, &run->timeout) && run->timeout > 0;
      expected = "a number of seconds > 0";
    }
    if (!ok) {
      *error = "run: invalid value '" + value + "' for " + name + " (expected " + expected + ")";
      return false;
    }
  }
  if (run->plugin.empty() || run->config.empty()) {
    *error =
        run->plugin.empty() ? "run: --plugin PATH is required" : "run: --config FILE is required";
    return false;
  }
  return true;
}

bool ParseDecode(const std::vector<std::string>& args, DecodeOptions* decode, std::string* error) {
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--json" || args[i] == "--csv") {
      const DecodeOptions::Format format =
          args[i] == "--json" ? DecodeOptions::kJson : DecodeOptions::kCsv;
      if (decode->format != DecodeOptions::kText && decode->format != format) {
        *error = "decode: --json and --csv exclude each other";
        return false;
      }
      decode->format = format;
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
  *error = "unknown command '" + args[0] + "'";
  return false;
}

const char* Usage() {
  return "usage:\n"
         "  qrmhost run --plugin PATH --config FILE [--rounds N] [--interval SECONDS]\n"
         "              [--history DIR] [--events FILE] [--timeout SECONDS]\n"
         "  qrmhost decode FILE [--json | --csv]\n"
         "  qrmhost --help | --version\n"
         "\n"
         "run     loads the plug-in, creates one device per configured entry and drives it; at\n"
         "        the end prints per device the rounds published, the walks that timed out,\n"
         "        failed or found nothing under the unit's root, and the alarms active.\n"
         "  --plugin PATH     the plug-in library (required)\n"
         "  --config FILE     the device file: one device object, or {\"devices\": [...]}\n"
         "                    (required)\n"
         "  --rounds N        stop after N rounds per device (default: until interrupted)\n"
         "  --interval S      seconds between host-driven refreshes (default 5)\n"
         "  --history DIR     append each saved record to DIR/<id>.rec (default: no history)\n"
         "  --events FILE     append one JSON line per host call; - for standard output,\n"
         "                    which then carries the events alone: the plug-in's lines and\n"
         "                    the summaries go to standard error (default: no event log)\n"
         "  --timeout S       bound on the whole run in seconds; fewer rounds than asked fail\n"
         "                    it (default: no bound)\n"
         "decode  prints the records of a history file (default: as text, the non-zero slots\n"
         "        and the active alarms of each record).\n"
         "  --json            one JSON object per record per line (default: off)\n"
         "  --csv             a header row, then one row per record: id, time, slots 1-1269;\n"
         "                    NaN and infinities as empty cells (default: off)\n"
         "\n"
         "Times are ISO 8601 with the offset from UTC of the local time zone (TZ).\n"
         "\n"
         "Exit status:\n"
         "  0  run: every device published every round asked and every walk got an answer\n"
         "     with values; decode: every record read\n"
         "  1  the plug-in or the configuration could not be loaded, a device published fewer\n"
         "     rounds than asked, the event log could not be written, or decode found a\n"
         "     partial record or could not read the file\n"
         "  2  a wrong option or value, named in one line on standard error\n"
         "  3  run: every device ran, but some walk timed out, failed or found nothing under\n"
         "     the unit's root; the device's closing line says which\n";
}
