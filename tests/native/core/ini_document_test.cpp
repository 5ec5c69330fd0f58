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

std::string Utf16(const std::u16string& text, bool little) {
  std::string bytes;
  for (const char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += little ? std::string{low, high} : std::string{high, low};
  }
  return bytes;
}

TEST(IniFileText, ReadsEachFormAsTextAndWritesItBackAsItWas) {
  using Encoding = IniFileText::Encoding;
  const std::string le = "\xFF\xFE"s;
  const std::string be = "\xFE\xFF"s;
  const struct {
    const char* name;
    std::string bytes;
    Encoding encoding;
    std::string text;
    std::string tail;
  } cases[] = {
      {"plain bytes", "[s]\r\n\x83L=1\r\n", Encoding::Bytes, "[s]\r\n\x83L=1\r\n", ""},
      {"plain with a NUL", "[s]\r\na=1\0b=2\r\n\0"s, Encoding::Bytes, "[s]\r\na=1", "\0b=2\r\n\0"s},
      {"UTF-8 mark", "\xEF\xBB\xBF[s]\r\n", Encoding::Utf8Bom, "[s]\r\n", ""},
      {"UTF-8 mark alone", "\xEF\xBB\xBF", Encoding::Utf8Bom, "", ""},
      {"UTF-8 mark, then a NUL", "\xEF\xBB\xBF[s]\0x"s, Encoding::Utf8Bom, "[s]", "\0x"s},
      {"half a UTF-8 mark is plain", "\xEF\xBB[s]", Encoding::Bytes, "\xEF\xBB[s]", ""},
      {"UTF-16 LE", le + Utf16(u"[s]\r\nポート=3\r\n", true), Encoding::Utf16Le,
       "[s]\r\n\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88=3\r\n", ""},
      {"UTF-16 BE", be + Utf16(u"[s]\r\nk=\u00e9", false), Encoding::Utf16Be, "[s]\r\nk=\xC3\xA9", ""},
      {"UTF-16 pair and lone surrogates", le + Utf16(u"\U0001F600\xD800x\xDC00", true), Encoding::Utf16Le,
       "\xF0\x9F\x98\x80\xED\xA0\x80x\xED\xB0\x80", ""},
      {"UTF-16 NUL ends the text", le + Utf16(u"[s]"s + u'\0' + u"[t]", true), Encoding::Utf16Le, "[s]",
       Utf16(u"\0[t]"s, true)},
      {"UTF-16 stray last byte", be + Utf16(u"[s]", false) + "\x41", Encoding::Utf16Be, "[s]", "\x41"},
      {"UTF-16 mark alone", le, Encoding::Utf16Le, "", ""},
  };
  for (const auto& c : cases) {
    const IniFileText file = IniFileText::Decode(c.bytes);
    EXPECT_EQ(file.encoding, c.encoding) << c.name;
    EXPECT_EQ(file.text, c.text) << c.name;
    EXPECT_EQ(file.tail, c.tail) << c.name;
    EXPECT_EQ(file.Encode(), c.bytes) << c.name;
  }
}

TEST(IniFileText, WritesChangedTextInTheFilesOwnForm) {
  IniFileText file = IniFileText::Decode("\xFE\xFF"s + Utf16(u"[s]\r\n", false));
  file.text = "[ZEFA_ID]\r\nCommPort=3\r\n\r\n";
  EXPECT_EQ(file.Encode(), "\xFE\xFF"s + Utf16(u"[ZEFA_ID]\r\nCommPort=3\r\n\r\n", false));
  file.encoding = IniFileText::Encoding::Utf16Le;
  file.text = "\xC3\xA9\xFF";  // a byte that is no UTF-8 of the file's making
  EXPECT_EQ(file.Encode(), "\xFF\xFE"s + Utf16(u"\u00e9\uFFFD", true));
}

TEST(SetInText, ChangesOnlyTheKeysLine) {
  const struct {
    const char* name;
    std::string before;
    std::string after;
  } cases[] = {
      {"empty text", "", "[ZEFA_ID]\r\nCommPort=3\r\n"},
      {"key in place, comments and spacing kept", "; c\r\n[zefa_id]\r\n\r\n  commport = 5 \r\nb=2\r\n",
       "; c\r\n[zefa_id]\r\n\r\nCommPort=3\r\nb=2\r\n"},
      {"section without the key: after its last entry", "[ZEFA_ID]\na=1\n\n; next\n[Other]\nx=y\n",
       "[ZEFA_ID]\na=1\nCommPort=3\n\n; next\n[Other]\nx=y\n"},
      {"section ends the text without a line end", "[ZEFA_ID]\ra=1", "[ZEFA_ID]\ra=1\rCommPort=3"},
      {"no such section", "junk\r\n[Other]\r\nx=y", "junk\r\n[Other]\r\nx=y\r\n[ZEFA_ID]\r\nCommPort=3\r\n"},
      {"section twice: the second", "[ZEFA_ID]\r\nCommPort=1\r\n[ZEFA_ID]\r\nx=1\r\n[t]\r\n",
       "[ZEFA_ID]\r\nCommPort=1\r\n[ZEFA_ID]\r\nx=1\r\nCommPort=3\r\n[t]\r\n"},
      {"key twice: the last", "[ZEFA_ID]\r\nCommPort=1\r\nCOMMPORT=2\r\n",
       "[ZEFA_ID]\r\nCommPort=1\r\nCommPort=3\r\n"},
      {"a key before the first section is not it", "CommPort=1\r\n[ZEFA_ID]\r\n",
       "CommPort=1\r\n[ZEFA_ID]\r\nCommPort=3\r\n"},
      {"a commented key is not it", "[ZEFA_ID]\r\n;CommPort=1\r\n", "[ZEFA_ID]\r\nCommPort=3\r\n;CommPort=1\r\n"},
      {"the text ends at a NUL", "[ZEFA_ID]\r\nCommPort=1\0[ZEFA_ID]\r\nCommPort=2"s,
       "[ZEFA_ID]\r\nCommPort=3\0[ZEFA_ID]\r\nCommPort=2"s},
  };
  for (const auto& c : cases) {
    const std::string after = SetInText(c.before, "ZEFA_ID", "CommPort", "3");
    EXPECT_EQ(after, c.after) << c.name;
    // What the document then reads is what Set would have made of it.
    IniDocument expected = IniDocument::Parse(c.before);
    expected.Set("ZEFA_ID", "CommPort", "3");
    EXPECT_EQ(IniDocument::Parse(after).Serialize(), expected.Serialize()) << c.name;
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
