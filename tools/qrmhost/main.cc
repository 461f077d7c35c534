// qrmhost: the reference host as a command. See Usage() in args.cc.
#include <iostream>
#include <string>
#include <vector>

#include "tools/qrmhost/args.h"
#include "tools/qrmhost/catalogue_command.h"
#include "tools/qrmhost/decode_command.h"
#include "tools/qrmhost/run_command.h"
#include "util/console_line.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  Command command;
  std::string error;
  if (!ParseCommand(args, &command, &error)) {
    ConsoleLine(std::cerr, "qrmhost: " + error + " (qrmhost --help shows the usage)");
    return 2;
  }
  switch (command.kind) {
    case Command::kRun:
      return RunCommand(command.run);
    case Command::kDecode:
      return DecodeCommand(command.decode.file, command.decode.format, std::cout, std::cerr,
                           command.decode.lang);
    case Command::kCatalogue: {
      const DecodeOptions::Format f = command.catalogue.format;
      return CatalogueCommand(f == DecodeOptions::kJson  ? CatalogueFormat::kJson
                              : f == DecodeOptions::kCsv ? CatalogueFormat::kCsv
                                                         : CatalogueFormat::kText,
                              std::cout);
    }
    case Command::kVersion:
      ConsoleLine(std::cout, std::string("qrmhost ") + QRM_VERSION);
      return 0;
    case Command::kHelp:
      break;
  }
  std::cout << Usage();
  return 0;
}
