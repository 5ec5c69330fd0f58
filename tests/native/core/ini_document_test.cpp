#include "ini_document.h"

#include <gtest/gtest.h>

#include <climits>

namespace zefa {
namespace {

using namespace std::string_literals;  // "...\0..."s keeps NUL bytes

std::string Rewritten(const std::string& bytes) {
  return IniDocument::Parse(bytes).Serialize();
}

TEST(IniDocument, WritesBackWhatItReadInTheWrittenForm) {
  const struct {
    const char* name;
    std::string before;
    std::string after;
  } cases[] = {
      {"empty file", "", ""},
      {"only blank lines", "\r\n \t\r\n\n", ""},
      {"no section", "a=1\r\nb\r\n", ""},
      {"section without line end", "[ZEFA_ID]", "[ZEFA_ID]\r\n\r\n"},
      {"first save", "[ZEFA_ID]\r\nCommPort=3\r\n\r\n", "[ZEFA_ID]\r\nCommPort=3\r\n\r\n"},
      {"CR alone", "[s]\ra=1\rb=2\r", "[s]\r\na=1\r\nb=2\r\n\r\n"},
      {"LF alone", "[s]\na=1\nb=2\n", "[s]\r\na=1\r\nb=2\r\n\r\n"},
      {"LF CR is two line ends", "[s]\n\ra=1\r\n\n\rb=2", "[s]\r\na=1\r\nb=2\r\n\r\n"},
      {"NUL ends the text", "[s]\r\na=1\0b=2\r\n[t]\r\n"s, "[s]\r\na=1\r\n\r\n"},
      {"no final line end", "[s]\r\na=1", "[s]\r\na=1\r\n\r\n"},
      {"section twice", "[ZEFA_ID]\r\nCommPort=1\r\n[Other]\r\nx=y\r\n[ZEFA_ID]\r\nCommPort=2\r\n",
       "[ZEFA_ID]\r\nCommPort=1\r\n\r\n[Other]\r\nx=y\r\n\r\n[ZEFA_ID]\r\nCommPort=2\r\n\r\n"},
      {"lower-case names, spaces around =", "[zefa_id]\r\ncommport = 5\r\n",
       "[zefa_id]\r\ncommport=5\r\n\r\n"},
      {"comments and blank lines", "; head\r\n[s]\r\n  ; indented\r\na=1\r\n\r\n\r\n[t]\r\nb=2 ; kept\r\n",
       "[s]\r\na=1\r\n\r\n[t]\r\nb=2 ; kept\r\n\r\n"},
      {"text before the first section", "junk\r\nk=v\r\n[s]\r\na=1\r\n", "[s]\r\na=1\r\n\r\n"},
      {"line without =", "[s]\r\n  just text  \r\na=1\r\n", "[s]\r\njust text\r\na=1\r\n\r\n"},
      {"control bytes and tabs trimmed", "\t[ s ]\t\r\n\x01" "a\t=\tb c \x1f\r\n", "[s]\r\na=b c\r\n\r\n"},
      {"only the first = splits", "[s]\r\na = b = c\r\n", "[s]\r\na=b = c\r\n\r\n"},
      {"empty name and value", "[s]\r\n=\r\n a= \r\n", "[s]\r\n=\r\na=\r\n\r\n"},
      {"empty section name", "[]\r\nx=1\r\n", "[]\r\nx=1\r\n\r\n"},
      {"brackets inside a section name", "[a]b]\r\n", "[a]b]\r\n\r\n"},
      {"lone bracket lines", "[s]\r\n[\r\n[a\r\n]\r\n", "[s]\r\n[\r\n[a\r\n]\r\n\r\n"},
      {"bytes above 0x7F are kept, never trimmed",
       "[\x82\xa0]\r\n\x83L\x81[=\x81\x40\xa0\r\n\xa0\xff\r\n",
       "[\x82\xa0]\r\n\x83L\x81[=\x81\x40\xa0\r\n\xa0\xff\r\n\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Rewritten(c.before), c.after) << c.name;
    EXPECT_EQ(Rewritten(c.after), c.after) << c.name << " (written form read again)";
  }
}

TEST(IniDocument, ReadsTheSettingAsAWholeNumber) {
  const struct {
    std::string value;
    int32_t read;
  } cases[] = {
      {"3", 3},    {"0x0A", 10}, {"$A", 10},  {"abc", 0}, {"", 0},
      {"99", 99},  {"-3", -3},   {"99999999999", 0},
  };
  for (const auto& c : cases) {
    const auto document = IniDocument::Parse("[ZEFA_ID]\r\nCommPort=" + c.value + "\r\n");
    EXPECT_EQ(document.ReadInteger("ZEFA_ID", "CommPort", 0), c.read) << c.value;
  }
}

TEST(IniDocument, FindsSectionAndKeyIgnoringCaseAtTheirLastOccurrence) {
  const struct {
    const char* name;
    std::string file;
    int32_t read;
  } cases[] = {
      {"lower-case names and spaces", "[zefa_id]\r\ncommport = 5\r\n", 5},
      {"missing section", "[Other]\r\nCommPort=5\r\n", -1},
      {"missing key", "[ZEFA_ID]\r\nPort=5\r\n", -1},
      {"key without =", "[ZEFA_ID]\r\nCommPort\r\n", -1},
      {"key before the section", "CommPort=5\r\n[ZEFA_ID]\r\n", -1},
      {"section twice: the second", "[ZEFA_ID]\r\nCommPort=1\r\n[ZEFA_ID]\r\nCommPort=2\r\n", 2},
      {"section twice: only the second counts", "[ZEFA_ID]\r\nCommPort=1\r\n[ZEFA_ID]\r\nx=2\r\n", -1},
      {"key twice: the last", "[ZEFA_ID]\r\nCommPort=1\r\nCOMMPORT=4\r\n", 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IniDocument::Parse(c.file).ReadInteger("ZEFA_ID", "CommPort", -1), c.read) << c.name;
  }
  const auto document = IniDocument::Parse("[s]\r\nk = a value \r\n");
  EXPECT_EQ(document.Get("S", "K"), std::optional<std::string>("a value"));
  EXPECT_EQ(document.Get("s", "other"), std::nullopt);
}

TEST(IniDocument, SetReplacesInPlaceOrAppends) {
  const struct {
    const char* name;
    std::string before;
    int32_t value;
    std::string after;
  } cases[] = {
      {"empty file", "", 3, "[ZEFA_ID]\r\nCommPort=3\r\n\r\n"},
      {"key of another case, in its place", "[zefa_id]\r\na=1\r\ncommport = 5\r\nb=2\r\n", 7,
       "[zefa_id]\r\na=1\r\nCommPort=7\r\nb=2\r\n\r\n"},
      {"section without the key", "[ZEFA_ID]\r\na=1\r\n[Other]\r\nx=y\r\n", 3,
       "[ZEFA_ID]\r\na=1\r\nCommPort=3\r\n\r\n[Other]\r\nx=y\r\n\r\n"},
      {"no such section", "[Other]\r\nx=y\r\n", 3, "[Other]\r\nx=y\r\n\r\n[ZEFA_ID]\r\nCommPort=3\r\n\r\n"},
      {"section twice: the second changes",
       "[ZEFA_ID]\r\nCommPort=1\r\n[ZEFA_ID]\r\nCommPort=2\r\n", 9,
       "[ZEFA_ID]\r\nCommPort=1\r\n\r\n[ZEFA_ID]\r\nCommPort=9\r\n\r\n"},
      {"key twice: the last changes", "[ZEFA_ID]\r\nCommPort=1\r\nCommPort=2\r\n", 9,
       "[ZEFA_ID]\r\nCommPort=1\r\nCommPort=9\r\n\r\n"},
      {"a line without = is not the key", "[ZEFA_ID]\r\nCommPort\r\n", 4,
       "[ZEFA_ID]\r\nCommPort\r\nCommPort=4\r\n\r\n"},
      {"no selection", "", -1, "[ZEFA_ID]\r\nCommPort=-1\r\n\r\n"},
  };
  for (const auto& c : cases) {
    auto document = IniDocument::Parse(c.before);
    document.WriteInteger("ZEFA_ID", "CommPort", c.value);
    EXPECT_EQ(document.Serialize(), c.after) << c.name;
    EXPECT_EQ(document.ReadInteger("ZEFA_ID", "CommPort", -99), c.value) << c.name;
  }
}

TEST(ReadWholeNumber, AcceptsSignedDecimalAndPrefixedHexadecimal) {
  const struct {
    std::string text;
    int32_t value;
  } cases[] = {
      {"0", 0},
      {"7", 7},
      {"+7", 7},
      {"-3", -3},
      {"-0", 0},
      {"0005", 5},
      {"0000000000000000000042", 42},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"0x0A", 10},
      {"0X0a", 10},
      {"$A", 10},
      {"$a", 10},
      {"$7FFFFFFF", INT32_MAX},
      {"-0x0A", -10},
      {"+$1f", 31},
      {"-$80000000", INT32_MIN},
      {"0x000000000000000001", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadWholeNumber(c.text, -99), c.value) << c.text;
  }
}

TEST(ReadWholeNumber, GivesTheDefaultForAnythingElse) {
  const std::string rejected[] = {
      "", "abc", "-", "+", "$", "0x", "0X", "-$", "--1", "+-1", "0x-1", "$-1", "$0x1", "0x1G", "1e3",
      "3.0", "1 2", " 5", "5 ", "\t5", "0b1", "x1", "00x1", "$ 1",
      "2147483648", "-2147483649", "99999999999", "$80000000", "$FFFFFFFF", "0xFFFFFFFF",
      "-$80000001", "0x100000000", "99999999999999999999999999",
      "\xef\xbc\x95",  // a full-width 5
      "5\0"s,
  };
  for (const auto& text : rejected) {
    EXPECT_EQ(ReadWholeNumber(text, -99), -99) << text;
  }
}

}  // namespace
}  // namespace zefa
