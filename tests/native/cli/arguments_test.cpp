#include "Arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zefa::cli {
namespace {

using Args = std::vector<std::string>;

TEST(ParseArguments, AcceptsEachCommandWithItsOptions) {
  struct Case {
    Args args;
    Command command;
    std::string port;
    int32_t id;
    bool verify;
    bool json;
    std::string log;
  };
  const Case cases[] = {
      {{"read", "--port", "/dev/ttyUSB0"}, Command::Read, "/dev/ttyUSB0", -1, false, false, ""},
      {{"--port=/dev/ttyS1", "read", "--json"}, Command::Read, "/dev/ttyS1", -1, false, true, ""},
      {{"read", "--port", "-odd-name"}, Command::Read, "-odd-name", -1, false, false, ""},
      {{"write", "5", "--port", "p"}, Command::Write, "p", 5, false, false, ""},
      {{"write", "--port", "p", "0", "--verify"}, Command::Write, "p", 0, true, false, ""},
      {{"write", "31", "--port", "p", "--log", "ids.csv"}, Command::Write, "p", 31, false, false, "ids.csv"},
      {{"write", "007", "--port", "p"}, Command::Write, "p", 7, false, false, ""},
      {{"write", "--port", "p", "--", "9"}, Command::Write, "p", 9, false, false, ""},
      {{"scan", "--log=scan.csv", "--json"}, Command::Scan, "", -1, false, true, "scan.csv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ParsedArguments parsed = ParseArguments(c.args, PortSyntax::DevicePath);
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.command, c.command);
    EXPECT_EQ(parsed.options.port, c.port);
    EXPECT_EQ(parsed.options.id, c.id);
    EXPECT_EQ(parsed.options.verify, c.verify);
    EXPECT_EQ(parsed.options.json, c.json);
    EXPECT_EQ(parsed.options.logPath, c.log);
  }
}

TEST(ParseArguments, PortsTakeEveryArgumentUpToTheNextOption) {
  const ParsedArguments parsed =
      ParseArguments({"scan", "--ports", "/dev/a", "/tmp/b*", "--list", "--json"}, PortSyntax::DevicePath);
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.ports, (Args{"/dev/a", "/tmp/b*"}));
  EXPECT_TRUE(parsed.options.listOnly);
  EXPECT_TRUE(parsed.options.json);
}

TEST(ParseArguments, HelpAndVersionWinOverEverythingElse) {
  const struct {
    Args args;
    Command command;
  } cases[] = {
      {{"--help"}, Command::Help},
      {{"help"}, Command::Help},
      {{"-h"}, Command::Help},
      {{"write", "99", "--bogus", "--help"}, Command::Help},
      {{"--version"}, Command::Version},
      {{"read", "--version"}, Command::Version},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ParsedArguments parsed = ParseArguments(c.args, PortSyntax::DevicePath);
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.command, c.command);
  }
}

TEST(ParseArguments, RefusesMistakesWithAMessageThatNamesThem) {
  const struct {
    Args args;
    std::string message;  // a part of the message
  } cases[] = {
      {{}, "no command"},
      {{"--json"}, "no command"},
      {{"reed", "--port", "p"}, "unknown command \"reed\""},
      {{"read"}, "no port given: add --port /dev/ttyUSB0"},
      {{"read", "--port"}, "--port needs a value"},
      {{"read", "--port", ""}, "--port needs a value"},
      {{"read", "--port", "--json"}, "--port needs a value"},
      {{"read", "--port", "a", "--port=b"}, "--port is given twice"},
      {{"read", "--port", "p", "--bogus"}, "unknown option \"--bogus\""},
      {{"read", "--port", "p", "-v"}, "unknown option \"-v\""},
      {{"read", "--port", "p", "--json=yes"}, "--json takes no value"},
      {{"read", "--port", "p", "--json", "--json"}, "--json is given twice"},
      {{"read", "--port", "p", "--verify"}, "--verify goes with write only"},
      {{"read", "--port", "p", "--list"}, "--list goes with scan only"},
      {{"read", "--port", "p", "--ports", "q"}, "--ports goes with scan only"},
      {{"read", "--port", "p", "extra"}, "unexpected argument \"extra\" for read"},
      {{"read", "--port", "p", "--log"}, "--log needs a value"},
      {{"write", "--port", "p"}, "write needs the ID to set (0 to 31)"},
      {{"write", "32", "--port", "p"}, "from 0 to 31, not \"32\""},
      {{"write", "-1", "--port", "p"}, "from 0 to 31, not \"-1\""},
      {{"write", "5x", "--port", "p"}, "not \"5x\""},
      {{"write", "0x05", "--port", "p"}, "not \"0x05\""},
      {{"write", "+5", "--port", "p"}, "not \"+5\""},
      {{"write", "", "--port", "p"}, "not \"\""},
      {{"write", "99999999999999999999", "--port", "p"}, "from 0 to 31"},
      {{"write", "5", "6", "--port", "p"}, "unexpected argument \"6\" for write"},
      {{"write", "5"}, "no port given"},
      {{"scan", "--port", "p"}, "scan takes --ports PORT..., not --port"},
      {{"scan", "--ports"}, "--ports needs at least one port"},
      {{"scan", "--ports", "--json"}, "--ports needs at least one port"},
      {{"scan", "--ports", "a", "--ports", "b"}, "--ports is given twice"},
      {{"scan", "--verify"}, "--verify goes with write only"},
      {{"scan", "now"}, "unexpected argument \"now\" for scan"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ParsedArguments parsed = ParseArguments(c.args, PortSyntax::DevicePath);
    EXPECT_NE(parsed.error.find(c.message), std::string::npos) << "error: " << parsed.error;
  }
}

TEST(ParseArguments, ComPortsAreCheckedAndWrittenOneWay) {
  const struct {
    Args args;
    std::string port;   // as it is used and reported
    std::string error;  // a part of the message, or empty
  } cases[] = {
      {{"read", "--port", "COM3"}, "COM3", ""},
      {{"read", "--port", "com12"}, "COM12", ""},
      {{"read", "--port", "Com010"}, "COM10", ""},
      {{"read", "--port", "COM99999999"}, "COM99999999", ""},
      {{"read", "--port", "/dev/ttyUSB0"}, "", "--port needs a COM port such as COM3, not \"/dev/ttyUSB0\""},
      {{"read", "--port", "COM0"}, "", "not \"COM0\""},
      {{"read", "--port", "COM"}, "", "not \"COM\""},
      {{"read", "--port", "COM-1"}, "", "not \"COM-1\""},
      {{"read", "--port", "COM1x"}, "", "not \"COM1x\""},
      {{"read", "--port", "COM123456789"}, "", "not \"COM123456789\""},
      {{"read"}, "", "add --port COM3"},
      {{"scan", "--ports", "COM1", "LPT1"}, "", "--ports needs a COM port such as COM3, not \"LPT1\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ParsedArguments parsed = ParseArguments(c.args, PortSyntax::ComName);
    if (c.error.empty()) {
      EXPECT_EQ(parsed.error, "");
      EXPECT_EQ(parsed.options.port, c.port);
    } else {
      EXPECT_NE(parsed.error.find(c.error), std::string::npos) << "error: " << parsed.error;
    }
  }
  const ParsedArguments scan = ParseArguments({"scan", "--ports", "com1", "COM0020"}, PortSyntax::ComName);
  EXPECT_EQ(scan.options.ports, (Args{"COM1", "COM20"}));
}

TEST(ParseArguments, StationTakesARangeOfIds) {
  const struct {
    Args args;
    int32_t first, last;
    bool quiet;
    std::string error;  // a part of the message, or empty
  } cases[] = {
      {{"station", "--ids", "1-8", "--port", "p"}, 1, 8, false, ""},
      {{"station", "--ids=0-31", "--port", "p", "--quiet", "--json"}, 0, 31, true, ""},
      {{"station", "--ids", "07-07", "--port", "p"}, 7, 7, false, ""},
      {{"station", "--ids", "5", "--port", "p"}, 5, 5, false, ""},
      {{"station", "--port", "p"}, -1, -1, false, "station needs the IDs to give: add --ids FIRST-LAST"},
      {{"station", "--ids", "1-8"}, -1, -1, false, "no port given"},
      {{"station", "--ids", "8-1", "--port", "p"}, -1, -1, false, "FIRST not above LAST, not \"8-1\""},
      {{"station", "--ids", "1-32", "--port", "p"}, -1, -1, false, "two IDs from 0 to 31, not \"1-32\""},
      {{"station", "--ids", "1-", "--port", "p"}, -1, -1, false, "not \"1-\""},
      {{"station", "--ids", "-3", "--port", "p"}, -1, -1, false, "two IDs from 0 to 31, not \"-3\""},
      {{"station", "--ids", "1-2-3", "--port", "p"}, -1, -1, false, "not \"1-2-3\""},
      {{"station", "--ids", "1-2", "--ids", "3-4", "--port", "p"}, -1, -1, false, "--ids is given twice"},
      {{"station", "--ids", "1-2", "--port", "p", "--verify"}, -1, -1, false, "--verify goes with write only"},
      {{"station", "--ids", "1-2", "--port", "p", "9"}, -1, -1, false, "unexpected argument \"9\" for station"},
      {{"read", "--port", "p", "--ids", "1-2"}, -1, -1, false, "--ids goes with station only"},
      {{"write", "3", "--port", "p", "--quiet"}, -1, -1, false, "--quiet goes with station only"},
      {{"scan", "--quiet"}, -1, -1, false, "--quiet goes with station only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ParsedArguments parsed = ParseArguments(c.args, PortSyntax::DevicePath);
    if (!c.error.empty()) {
      EXPECT_NE(parsed.error.find(c.error), std::string::npos) << "error: " << parsed.error;
      continue;
    }
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.command, Command::Station);
    EXPECT_EQ((std::vector<int32_t>{parsed.options.firstId, parsed.options.lastId}),
              (std::vector<int32_t>{c.first, c.last}));
    EXPECT_EQ(parsed.options.quiet, c.quiet);
  }
}

TEST(AsksForJson, FindsTheFlagEvenInArgumentsThatDoNotParse) {
  EXPECT_TRUE(AsksForJson({"write", "77", "--json"}));
  EXPECT_FALSE(AsksForJson({"write", "77", "--json=1"}));
  EXPECT_FALSE(AsksForJson({}));
}

}  // namespace
}  // namespace zefa::cli
