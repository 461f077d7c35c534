// Command-line parsing: the accepted forms and every kind of usage error.
#include "tools/qrmhost/args.h"

#include <gtest/gtest.h>

namespace {

bool Parse(const std::vector<std::string>& args, Command* c, std::string* error) {
  return ParseCommand(args, c, error);
}

TEST(Args, RunWithEveryOption) {
  Command c;
  std::string error;
  ASSERT_TRUE(
      Parse({"run", "--plugin", "p.so", "--config=c.json", "--rounds", "3", "--interval", "0.25",
             "--history", "h", "--events", "-", "--timeout", "30", "--lang", "en", "--verbose"},
            &c, &error))
      << error;
  EXPECT_EQ(c.kind, Command::kRun);
  EXPECT_EQ(c.run.plugin, "p.so");
  EXPECT_EQ(c.run.config, "c.json");
  EXPECT_EQ(c.run.rounds, 3u);
  EXPECT_DOUBLE_EQ(c.run.interval, 0.25);
  EXPECT_EQ(c.run.history, "h");
  EXPECT_EQ(c.run.events, "-");
  EXPECT_DOUBLE_EQ(c.run.timeout, 30.0);
  EXPECT_EQ(c.run.lang, NameLanguage::kEnglish);
  EXPECT_TRUE(c.run.verbose);
  EXPECT_TRUE(c.run.ip.empty());

  ASSERT_TRUE(Parse({"run", "--plugin", "p.so", "--ip", "10.0.5.21:1161", "--address=255",
                     "--community", "public", "--max-repetitions", "100", "--id", "4294967295"},
                    &c, &error))
      << error;
  EXPECT_TRUE(c.run.config.empty());
  EXPECT_EQ(c.run.ip, "10.0.5.21:1161");
  EXPECT_EQ(c.run.address, 255u);
  EXPECT_EQ(c.run.community, "public");
  EXPECT_EQ(c.run.max_repetitions, 100u);
  EXPECT_EQ(c.run.id, 4294967295u);
  ASSERT_TRUE(Parse({"run", "--plugin", "p.so", "--ip", "h", "--address", "0"}, &c, &error));
  EXPECT_EQ(c.run.id, 1u);
  EXPECT_EQ(c.run.max_repetitions, 0u);
}

TEST(Args, RunDefaults) {
  Command c;
  std::string error;
  ASSERT_TRUE(Parse({"run", "--plugin", "p.so", "--config", "c.json"}, &c, &error));
  EXPECT_EQ(c.run.rounds, 0u);
  EXPECT_DOUBLE_EQ(c.run.interval, 5.0);
  EXPECT_TRUE(c.run.history.empty());
  EXPECT_TRUE(c.run.events.empty());
  EXPECT_DOUBLE_EQ(c.run.timeout, 0.0);
  EXPECT_EQ(c.run.lang, NameLanguage::kHost);
  EXPECT_FALSE(c.run.verbose);
}

TEST(Args, DecodeAndHelp) {
  Command c;
  std::string error;
  ASSERT_TRUE(Parse({"decode", "--json", "h/1.rec"}, &c, &error));
  EXPECT_EQ(c.kind, Command::kDecode);
  EXPECT_EQ(c.decode.file, "h/1.rec");
  EXPECT_EQ(c.decode.format, DecodeOptions::kJson);
  ASSERT_TRUE(Parse({"--help"}, &c, &error));
  EXPECT_EQ(c.kind, Command::kHelp);
  ASSERT_TRUE(Parse({"decode", "h/1.rec", "--csv"}, &c, &error));
  EXPECT_EQ(c.decode.format, DecodeOptions::kCsv);
  ASSERT_TRUE(Parse({"decode", "h/1.rec"}, &c, &error));
  EXPECT_EQ(c.decode.format, DecodeOptions::kText);
  EXPECT_EQ(c.decode.lang, NameLanguage::kHost);
  ASSERT_TRUE(Parse({"decode", "--lang=en", "h/1.rec"}, &c, &error));
  EXPECT_EQ(c.decode.lang, NameLanguage::kEnglish);
  ASSERT_TRUE(Parse({"decode", "h/1.rec", "--lang", "zh"}, &c, &error));
  EXPECT_EQ(c.decode.lang, NameLanguage::kHost);
  ASSERT_TRUE(Parse({"run", "-h"}, &c, &error));
  EXPECT_EQ(c.kind, Command::kHelp);
  ASSERT_TRUE(Parse({"--version"}, &c, &error));
  EXPECT_EQ(c.kind, Command::kVersion);
  ASSERT_TRUE(Parse({"--version", "--help"}, &c, &error));
  EXPECT_EQ(c.kind, Command::kHelp);
  ASSERT_TRUE(Parse({"catalogue"}, &c, &error));
  EXPECT_EQ(c.kind, Command::kCatalogue);
  EXPECT_EQ(c.catalogue.format, DecodeOptions::kText);
  ASSERT_TRUE(Parse({"catalogue", "--json", "--json"}, &c, &error));
  EXPECT_EQ(c.catalogue.format, DecodeOptions::kJson);
  // The usage as help2man reads it: "Usage:", then one line per form of the command.
  const std::string usage = Usage();
  EXPECT_EQ(usage.rfind("Usage: qrmhost run --plugin PATH --ip HOST[:PORT] --address N "
                        "[OPTION]...\n"
                        "  or:  qrmhost run --plugin PATH --config FILE [OPTION]...\n"
                        "  or:  qrmhost decode FILE [--json | --csv]\n"
                        "  or:  qrmhost catalogue [--json | --csv]\n"
                        "  or:  qrmhost --help | --version\n",
                        0),
            0u)
      << usage;
}

TEST(Args, UsageErrorsNameTheProblem) {
  const struct {
    std::vector<std::string> args;
    const char* expected;
  } cases[] = {
      {{}, "command is required"},
      {{"launch"}, "unknown command 'launch'"},
      {{"run", "--config", "c"}, "--plugin PATH is required"},
      {{"run", "--plugin", "p"}, "--ip HOST --address N, or --config FILE, is required"},
      {{"run", "--plugin", "p", "--ip", "h"}, "--ip needs --address N"},
      {{"run", "--plugin", "p", "--ip", "h", "--address", "1", "--config", "c"},
       "--config and --ip exclude each other"},
      {{"run", "--plugin", "p", "--config", "c", "--community", "x"},
       "--community goes with --ip; with --config, the device file holds it"},
      {{"run", "--plugin", "p", "--ip", "h", "--address", "256"}, "for --address"},
      {{"run", "--plugin", "p", "--ip", "h", "--address", "-1"}, "for --address"},
      {{"run", "--plugin", "p", "--ip", "h", "--address", "1", "--id", "4294967296"}, "for --id"},
      {{"run", "--plugin", "p", "--ip", "h", "--address", "1", "--max-repetitions", "10001"},
       "for --max-repetitions (expected an integer from 1 to 10000)"},
      {{"run", "--plugin", "p", "--ip=", "--address", "1"},
       "for --ip (expected HOST or HOST:PORT)"},
      {{"run", "--plugin", "p", "--config"}, "--config needs a value"},
      {{"run", "--plugin", "p", "--config", "c", "--loud"}, "unknown option '--loud'"},
      {{"run", "--plugin", "p", "--config", "c", "--lang", "fr"}, "'fr' for --lang"},
      {{"decode", "a", "--lang"}, "decode: option --lang needs a value"},
      {{"run", "--plugin", "p", "--config", "c", "--rounds", "0"}, "for --rounds"},
      {{"run", "--plugin", "p", "--config", "c", "--rounds", "2x"}, "for --rounds"},
      {{"run", "--plugin", "p", "--config", "c", "--rounds", "-1"}, "for --rounds"},
      {{"run", "--plugin", "p", "--config", "c", "--interval", "-1"}, "for --interval"},
      {{"run", "--plugin", "p", "--config", "c", "--interval", "nan"}, "for --interval"},
      {{"run", "--plugin", "p", "--config", "c", "--timeout", "0"}, "for --timeout"},
      {{"run", "--plugin", "p", "--config", "c", "--timeout="}, "for --timeout"},
      {{"run", "--plugin=", "--config", "c"}, "for --plugin"},
      {{"decode"}, "FILE is required"},
      {{"decode", "a", "b"}, "unexpected argument 'b'"},
      {{"decode", "a", "--yaml"}, "unknown option '--yaml'"},
      {{"decode", "a", "--csv", "--json"}, "--json and --csv exclude each other"},
      {{"catalogue", "--json", "--csv"}, "catalogue: --json and --csv exclude each other"},
      {{"catalogue", "--yaml"}, "catalogue: unknown option '--yaml'"},
      {{"catalogue", "x.csv"}, "catalogue: unexpected argument 'x.csv'"},
  };
  for (const auto& t : cases) {
    Command c;
    std::string error;
    EXPECT_FALSE(Parse(t.args, &c, &error)) << t.expected;
    EXPECT_NE(error.find(t.expected), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

}  // namespace
