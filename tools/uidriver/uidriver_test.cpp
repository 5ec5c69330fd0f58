// The driver's command words and result texts: what scripts rely on when
// they pass paths with blanks and Japanese texts, and parse the results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "Json.h"

namespace uidriver {
namespace {

TEST(SplitCommand, SplitsQuotesAndEscapes) {
  const struct {
    std::string line;
    std::vector<std::string> words;
  } cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"click ReadBtn", {"click", "ReadBtn"}},
      {"  press   OK  \r", {"press", "OK"}},
      {R"(launch "Z:\a dir\ZEFA1ID.exe")", {"launch", R"(Z:\a dir\ZEFA1ID.exe)"}},
      {R"(launch Z:\plain\path.exe)", {"launch", R"(Z:\plain\path.exe)"}},
      {R"(x "a \"quoted\" word" "back\\slash")", {"x", R"(a "quoted" word)", R"(back\slash)"}},
      {R"(x "" end)", {"x", "", "end"}},
      {R"(x a"b c"d)", {"x", "ab cd"}},
      {"choose CommPort \"通信 COM3\"", {"choose", "CommPort", "通信 COM3"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitCommand(c.line), c.words) << c.line;
  }
}

TEST(SplitCommand, RejectsAnUnclosedQuote) {
  EXPECT_THROW(SplitCommand("press \"OK"), DriverError);
  EXPECT_THROW(SplitCommand("press \"OK\\\""), DriverError);
}

TEST(ParseInteger, TakesWholeDecimalWordsOnly) {
  EXPECT_EQ(ParseInteger("5000", "ms"), 5000);
  EXPECT_EQ(ParseInteger("-1", "index"), -1);
  for (const char* bad : {"", "12ms", "0x10", "abc", "99999999999999999999"}) {
    EXPECT_THROW(ParseInteger(bad, "n"), DriverError) << bad;
  }
}

TEST(Json, QuotesEveryCharacterThatNeedsIt) {
  EXPECT_EQ(JsonQuote("plain"), "\"plain\"");
  EXPECT_EQ(JsonQuote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonQuote("line\nnext\ttab\r"), "\"line\\nnext\\ttab\\r\"");
  EXPECT_EQ(JsonQuote(std::string("\x01\x1f", 2)), "\"\\u0001\\u001f\"");
  EXPECT_EQ(JsonQuote("読み取り完了"), "\"読み取り完了\"");
}

TEST(Json, BuildsObjectsInOrder) {
  JsonObject inner;
  inner.SetInt("id", 1).SetText("name", std::wstring(L"OK"));
  JsonArray buttons;
  buttons.AddObject(inner).AddInt(-3).AddText(L"情報");
  JsonObject result;
  result.SetBool("ok", true).SetArray("buttons", buttons).SetNumber("ms", 1.5);
  EXPECT_EQ(result.Text(), R"({"ok":true,"buttons":[{"id":1,"name":"OK"},-3,"情報"],"ms":1.500})");
  EXPECT_EQ(JsonObject().SetBool("ok", false).Merge(JsonObject()).Text(), R"({"ok":false})");
  EXPECT_EQ(JsonObject().Merge(result).Text(), result.Text());
}

}  // namespace
}  // namespace uidriver
