#include "Report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Help.h"
#include "Json.h"
#include "board_protocol.h"
#include "message_tables.h"

namespace zefa::cli {
namespace {

TEST(JsonString, EscapesWhatJsonNeedsAndKeepsUtf8) {
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\tnew\nline\r", "\"tab\\tnew\\nline\\r\""},
      {std::string("nul\0bell\x07", 9), "\"nul\\u0000bell\\u0007\""},
      {"読み取り完了", "\"読み取り完了\""},
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},  // four bytes, U+1F600
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.text), c.json);
}

TEST(JsonString, ReplacesBytesThatAreNotUtf8) {
  const std::string replacement = "\xEF\xBF\xBD";
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {"/dev/\xFF", "\"/dev/" + replacement + "\""},
      {"\xE8\xAA", "\"" + replacement + replacement + "\""},       // cut short
      {"\xC0\x80", "\"" + replacement + replacement + "\""},       // overlong NUL
      {"\xED\xA0\x80", "\"" + replacement + replacement + replacement + "\""},  // a surrogate
      {"\xF4\x90\x80\x80", "\"" + replacement + replacement + replacement + replacement + "\""},
      {"\x80" "ok", "\"" + replacement + "ok\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.text), c.json);
}

TEST(JsonObject, WritesMembersInOrder) {
  std::vector<JsonObject> items = {JsonObject().Add("n", 1), JsonObject()};
  const std::string text = JsonObject()
                               .Add("s", "x")
                               .Add("id", std::optional<int32_t>())
                               .Add("v", std::optional<int32_t>(31))
                               .AddBool("b", false)
                               .Add("list", items)
                               .Text();
  EXPECT_EQ(text, "{\"s\":\"x\",\"id\":null,\"v\":31,\"b\":false,\"list\":[{\"n\":1},{}]}");
}

TEST(PortUnusableMessage, IsTheWindowsTextForAnyPortName) {
  EXPECT_EQ(PortUnusableMessage("COM3"), PortUnusableText(3, LanguageJapanese));
  EXPECT_EQ(PortUnusableMessage("COM12"), PortUnusableText(12, LanguageJapanese));
  EXPECT_EQ(PortUnusableMessage("/dev/ttyUSB0"), "/dev/ttyUSB0は使用できません");
}

PortReport Report(const std::string& port, int exitCode, PortProblem problem = PortProblem::None) {
  PortReport report;
  report.command = "scan";
  report.port = port;
  report.exitCode = exitCode;
  report.portError.problem = problem;
  return report;
}

TEST(ScanExitCode, TellsBoardFromNoBoardFromNoPort) {
  const PortReport board = Report("a", ExitSuccess);
  const PortReport outOfRange = Report("b", ExitIdOutOfRange);
  const PortReport silent = Report("c", ExitCommunicationFailed);
  const PortReport missing = Report("d", ExitPortUnavailable, PortProblem::Missing);
  const struct {
    std::vector<PortReport> reports;
    int exitCode;
  } cases[] = {
      {{}, ExitPortUnavailable},
      {{missing}, ExitPortUnavailable},
      {{missing, silent}, ExitCommunicationFailed},
      {{silent, board, missing}, ExitSuccess},
      {{outOfRange}, ExitSuccess},
  };
  for (const auto& c : cases) EXPECT_EQ(ScanExitCode(c.reports), c.exitCode);
}

TEST(ScanLine, ShowsTheIdOnlyForABoard) {
  PortReport board = Report("/dev/ttyUSB0", ExitSuccess);
  board.id = 7;
  board.message = "読み取り完了";
  EXPECT_EQ(ScanLine(board), "/dev/ttyUSB0\t7\t読み取り完了");

  PortReport busy = Report("/dev/ttyUSB1", ExitPortUnavailable, PortProblem::Busy);
  busy.message = PortUnusableMessage(busy.port);
  busy.portError.detail = "another process holds the port";
  EXPECT_EQ(ScanLine(busy), "/dev/ttyUSB1\t-\t/dev/ttyUSB1は使用できません (busy: another process holds the port)");

  PortReport cut = Report("/dev/ttyUSB2", ExitCommunicationFailed);
  cut.message = "通信に失敗しました";
  cut.interrupted = true;
  EXPECT_EQ(ScanLine(cut), "/dev/ttyUSB2\t-\t通信に失敗しました (interrupted)");
}

TEST(MessageLine, SaysWhenAWriteMayHaveChangedTheBoard) {
  PortReport write = Report("/dev/ttyUSB0", ExitCommunicationFailed);
  write.command = "write";
  write.id = 12;
  write.message = "通信に失敗しました";
  write.boardMayHaveChanged = true;
  EXPECT_EQ(MessageLine(write), "通信に失敗しました ボードのIDが書き換わった可能性があります");
  write.interrupted = true;
  write.exitCode = 130;
  EXPECT_EQ(CsvLine("T", write), "T,/dev/ttyUSB0,write,12,通信に失敗しました (interrupted) "
                                 "ボードのIDが書き換わった可能性があります,130");
}

TEST(ReportJson, NamesThePassesAndTheSurplus) {
  PortReport write = Report("/dev/ttyUSB0", ExitCommunicationFailed);
  write.command = "write";
  write.outcome = "communication-failed";
  write.id = 12;
  write.acknowledgedPasses = 2;
  write.boardMayHaveChanged = true;
  write.requests = 12;
  write.surplusBytes = 4;
  EXPECT_EQ(ReportJson(write),
            "{\"command\":\"write\",\"port\":\"/dev/ttyUSB0\",\"exit\":4,\"outcome\":\"communication-failed\","
            "\"message\":\"\",\"id\":12,\"answer_id\":null,\"verify\":false,\"acknowledged_passes\":2,"
            "\"board_may_have_changed\":true,\"requests\":12,\"surplus_bytes\":4}");
  EXPECT_EQ(LineWarnings(write),
            "zefa1id: warning: /dev/ttyUSB0: 4 bytes came after the board's answer: is another device on the line "
            "(a second board, an echo)?\n");
  write.surplusBytes = 0;
  EXPECT_EQ(LineWarnings(write), "");
  write.lineNotQuiet = true;
  EXPECT_EQ(LineWarnings(write),
            "zefa1id: warning: /dev/ttyUSB0: the line did not go quiet (32 bytes without a pause); nothing more "
            "was sent\n");
}

TEST(FormatTimestamp, GivesIsoTimeWithMillisecondsAndOffset) {
  EXPECT_EQ(FormatTimestamp({2024, 5, 1, 9, 30, 5, 7, 540}), "2024-05-01T09:30:05.007+09:00");
  EXPECT_EQ(FormatTimestamp({1999, 12, 31, 23, 59, 59, 999, -210}), "1999-12-31T23:59:59.999-03:30");
  EXPECT_EQ(FormatTimestamp({2030, 1, 2, 0, 0, 0, 0, 0}), "2030-01-02T00:00:00.000+00:00");
}

TEST(CsvLine, QuotesFieldsThatNeedItAndLeavesAMissingIdEmpty) {
  EXPECT_EQ(CsvHeader(), "time,port,command,id,outcome,exit");

  PortReport read = Report("/dev/ttyUSB0", ExitSuccess);
  read.command = "read";
  read.id = 7;
  read.message = "読み取り完了";
  EXPECT_EQ(CsvLine("T", read), "T,/dev/ttyUSB0,read,7,読み取り完了,0");

  PortReport odd = Report("/tmp/a,\"b\"", ExitPortUnavailable, PortProblem::Missing);
  odd.command = "read";
  odd.message = PortUnusableMessage(odd.port);
  odd.portError.detail = "No such file or directory";
  EXPECT_EQ(CsvLine("T", odd),
            "T,\"/tmp/a,\"\"b\"\"\",read,,\"/tmp/a,\"\"b\"\"は使用できません (missing: No such file or "
            "directory)\",3");
}

TEST(HelpText, GlossesEveryOutcomeTextWithItsExitCode) {
  const std::string indent(27, ' ');
  for (PortSyntax syntax : {PortSyntax::DevicePath, PortSyntax::ComName}) {
    const std::string help = HelpText(syntax);
    const std::string entries[] = {
        "  0  completed             " + OutcomeText(ReadOutcome::Completed) + "\n" + indent + "reading complete\n",
        "     succeeded             " + OutcomeText(WriteOutcome::Succeeded) + "\n" + indent + "writing succeeded\n",
        "  2  usage                 bad arguments; nothing was sent\n",
        "  3  port-unavailable      " + PortUnusableMessage("PORT") + "\n" + indent + "PORT cannot be used",
        "  4  communication-failed  " + OutcomeText(ReadOutcome::CommunicationFailed) + "\n" + indent +
            "communication failed",
        "  5  set-again             " + OutcomeText(ReadOutcome::SetAgain) + "\n" + indent + "please set the ID again",
        "  6  write-failed          " + OutcomeText(WriteOutcome::WriteFailed) + "\n" + indent + "writing failed",
        "     verify-failed         " + OutcomeText(WriteOutcome::WriteFailed) + "\n" + indent + "writing failed",
    };
    for (const auto& entry : entries) EXPECT_NE(help.find(entry), std::string::npos) << entry;
  }
  for (PortSyntax syntax : {PortSyntax::DevicePath, PortSyntax::ComName}) {
    const std::string help = HelpText(syntax);
    for (const char* field : {"acknowledged_passes", "board_may_have_changed", "surplus_bytes"}) {
      EXPECT_NE(help.find(field), std::string::npos) << field;
    }
    EXPECT_NE(help.find(std::string("  ") + BoardMayHaveChangedText + "\n      the board's ID may have been changed"),
              std::string::npos);
  }
  EXPECT_NE(HelpText(PortSyntax::DevicePath).find("flock"), std::string::npos);
  EXPECT_NE(HelpText(PortSyntax::ComName).find("COM10 and above"), std::string::npos);
}

}  // namespace
}  // namespace zefa::cli
