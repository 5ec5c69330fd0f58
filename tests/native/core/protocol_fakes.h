// Fakes of the three protocol interfaces: a board that answers each request
// from a script, an ID list and a message box that record what they see.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "board_port.h"

namespace zefa::test {

// "fe 7e" -> the two bytes.
inline std::string Bytes(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

// The bytes -> "fe 7e".
inline std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    if (!hex.empty()) hex.push_back(' ');
    hex.push_back(digits[byte >> 4]);
    hex.push_back(digits[byte & 0xF]);
  }
  return hex;
}

inline std::vector<std::string> Repeat(const std::string& item, size_t count) {
  return std::vector<std::string>(count, item);
}

inline std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One board on a line. Each accepted request takes the next answer of the
// script (hex text; an empty answer is silence); once the script is used up
// the board stays silent. Bytes not read stay until the next purge, as in a
// driver's buffer. A closed port accepts nothing and reads fail at once.
class ScriptedPort : public BoardPort {
 public:
  explicit ScriptedPort(std::vector<std::string> answers = {}) : FAnswers(answers.begin(), answers.end()) {}

  // Called inside every ReceiveData before it answers, as the user
  // interface is serviced while a real read waits.
  std::function<void()> OnWait;
  bool Open = true;

  // What each attempt (from one purge to the next) handed to the line.
  std::vector<std::string> SentPerAttempt() const { return FSent; }
  const std::vector<std::string>& Calls() const { return FCalls; }

  void PurgeReceive() override {
    // A transaction that never stops would hang the test run.
    if (FSent.size() >= 1000) throw std::runtime_error("runaway transaction");
    FCalls.push_back("purge");
    FPending.clear();
    FSent.emplace_back();
  }

  bool SendString(const std::string& bytes) override {
    FCalls.push_back("send " + Hex(bytes));
    if (!Open) return false;
    if (FSent.empty()) FSent.emplace_back();
    if (!FSent.back().empty()) FSent.back() += " | ";
    FSent.back() += Hex(bytes);
    if (!FAnswers.empty()) {
      FPending += Bytes(FAnswers.front());
      FAnswers.pop_front();
    }
    return true;
  }

  int32_t ReceiveData(void* buffer, int32_t count) override {
    EXPECT_EQ(count, 1) << "answers are read one byte at a time";
    if (OnWait) OnWait();
    if (!Open) {
      FCalls.push_back("recv closed");
      return -1;
    }
    if (FPending.empty()) {
      FCalls.push_back("recv timeout");
      return 0;
    }
    *static_cast<char*>(buffer) = FPending[0];
    FCalls.push_back("recv " + Hex(FPending.substr(0, 1)));
    FPending.erase(0, 1);
    return 1;
  }

 private:
  std::deque<std::string> FAnswers;
  std::string FPending;
  std::vector<std::string> FSent;
  std::vector<std::string> FCalls;
};

class FakeIdList : public IdList {
 public:
  explicit FakeIdList(int32_t index) : FIndex(index) {}
  int32_t ItemIndex() const override { return FIndex; }
  void SetItemIndex(int32_t index) override { FIndex = index; }

 private:
  int32_t FIndex;
};

struct ShownBox {
  uint8_t kind;
  uint8_t buttons;
  int32_t messageNo;
  int32_t language;
  std::string text;
};

class RecordingBox : public MessageBoxSink {
 public:
  std::vector<ShownBox> Shown;
  std::function<void()> OnShow;  // runs while the modal box is "open"

  int32_t MsgBox(uint8_t kind, uint8_t buttons, int32_t messageNo, int32_t language,
                 const std::string& text) override {
    Shown.push_back({kind, buttons, messageNo, language, text});
    if (OnShow) OnShow();
    return 1;  // IDOK
  }
};

}  // namespace zefa::test
