#include "message_tables.h"

#include <gtest/gtest.h>

#include <climits>

namespace zefa {
namespace {

TEST(ComposeMessageBox, KindGivesIconAndCaptionInEachLanguage) {
  const struct {
    uint8_t kind;
    int32_t language;
    uint32_t icon;
    std::string caption;
  } cases[] = {
      {0, 0, 0x30, "警告"},     {1, 0, 0x40, "情報"},        {2, 0, 0x20, "確認"},
      {3, 0, 0x10, "エラー"},   {0, 1, 0x30, "Warning"},     {1, 1, 0x40, "Information"},
      {2, 1, 0x20, "Question"}, {3, 1, 0x10, "Error"},       {4, 0, 0, ""},
      {255, 1, 0, ""},          {3, 2, 0x10, "エラー"},      {1, -1, 0x40, "情報"},
      {0, INT32_MAX, 0x30, "警告"},
  };
  for (const auto& c : cases) {
    const MessageBoxContent box = ComposeMessageBox(c.kind, 2, 0, c.language, "t");
    EXPECT_EQ(box.style, c.icon) << int(c.kind) << "/" << c.language;
    EXPECT_EQ(box.caption, c.caption) << int(c.kind) << "/" << c.language;
  }
}

TEST(ComposeMessageBox, ButtonCodeGivesButtonsFlag) {
  const struct {
    uint8_t code;
    uint32_t flag;
  } cases[] = {
      {0, 0x2}, {1, 0x4000}, {2, 0x0}, {3, 0x1}, {4, 0x5}, {5, 0x4}, {6, 0x3}, {7, 0x0}, {255, 0x0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ComposeMessageBox(4, c.code, 0, 0, "").style, c.flag) << int(c.code);
  }
}

TEST(ComposeMessageBox, StyleIsIconPlusButtonsAndNothingElse) {
  EXPECT_EQ(ComposeMessageBox(3, 6, 0, 0, "").style, 0x13u);
  EXPECT_EQ(ComposeMessageBox(1, 1, 0, 0, "").style, 0x4040u);
  EXPECT_EQ(ComposeMessageBox(0, 4, 0, 1, "").style, 0x35u);
}

TEST(ComposeMessageBox, MessageNumberChoosesTheText) {
  const struct {
    int32_t messageNo;
    std::string text;
    std::string shown;
  } cases[] = {
      {0, "通信に失敗しました", "通信に失敗しました"},
      {0, "", ""},
      {1, "ignored", "DATA NAMEの変更ができます"},
      // Outside the table: the caller's text rather than a read past it.
      {2, "given", "given"},
      {-1, "given", "given"},
      {INT32_MAX, "given", "given"},
      {INT32_MIN, "given", "given"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ComposeMessageBox(1, 2, c.messageNo, 0, c.text).text, c.shown) << c.messageNo;
  }
}

TEST(MessageTables, TextsAreUtf8Bytes) {
  // Guards against a compiler reading the sources in another code page.
  EXPECT_EQ(ComposeMessageBox(0, 2, 0, 0, "").caption, "\xE8\xAD\xA6\xE5\x91\x8A");
  EXPECT_EQ(PortClosedText(0).substr(0, 3), "\xE3\x82\xB7");
}

TEST(PortTexts, FollowTheWindowTable) {
  EXPECT_EQ(PortSetUpText(3, 0), "COM3 設定完了");
  EXPECT_EQ(PortUnusableText(3, 0), "COM3は使用できません");
  EXPECT_EQ(PortUnusableText(-1, 0), "COM-1は使用できません");
  EXPECT_EQ(PortSetUpText(20, 0), "COM20 設定完了");
  EXPECT_EQ(PortClosedText(0), "シリアルポートを閉じました");

  EXPECT_EQ(PortSetUpText(3, 1), "COM3 completion");
  EXPECT_EQ(PortUnusableText(12, 1), "COM12 does not exist");
  EXPECT_EQ(PortClosedText(1), "Close");

  EXPECT_EQ(PortSetUpText(3, 7), "COM3 設定完了");
  EXPECT_EQ(PortClosedText(-1), "シリアルポートを閉じました");
}

}  // namespace
}  // namespace zefa
