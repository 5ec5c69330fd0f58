// Feeds arbitrary bytes to the settings document: reading and writing must
// never crash, what was written must read back to the same bytes, and get,
// set and whole-number reading must agree with each other.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "ini_document.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

std::string Folded(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

// What Get must return, found the slow way: the last key of that name in
// the last section of that name.
std::optional<std::string> Expected(const zefa::IniDocument& document, const std::string& section,
                                    const std::string& key) {
  const zefa::IniDocument::Section* found = nullptr;
  for (const auto& s : document.Sections()) {
    if (Folded(s.name) == Folded(section)) found = &s;
  }
  if (found == nullptr) return std::nullopt;
  std::optional<std::string> value;
  for (const auto& line : found->lines) {
    if (line.isKey && Folded(line.name) == Folded(key)) value = line.value;
  }
  return value;
}

void CheckWrittenFormIsStable(const std::string& written) {
  Check(zefa::IniDocument::Parse(written).Serialize() == written, "written form reads back the same");
}

// A value that has been read is whole-number text or not; either way the
// result must not depend on the default unless the default was returned.
void CheckWholeNumber(const std::string& text) {
  const int32_t a = zefa::ReadWholeNumber(text, 0);
  const int32_t b = zefa::ReadWholeNumber(text, 1);
  if (a != b) {
    Check(a == 0 && b == 1, "a rejected text gives the default");
    return;
  }
  Check(zefa::ReadWholeNumber(std::to_string(a), 7) == a, "an accepted number reads back in decimal");
}

void CheckSet(zefa::IniDocument document, const std::string& section, const std::string& key,
              const std::string& value) {
  const size_t sections = document.Sections().size();
  document.Set(section, key, value);
  Check(document.Get(section, key) == value, "a set value is read back");
  Check(document.Sections().size() - sections <= 1, "set adds at most one section");
  CheckWrittenFormIsStable(document.Serialize());
  const zefa::IniDocument reread = zefa::IniDocument::Parse(document.Serialize());
  Check(reread.Get(section, key) == value, "a set value survives writing and reading");
}

// The file's own form survives reading, and an edit in place reads as the
// document's own edit would.
void CheckFileText(const std::string& input, const std::string& value) {
  const zefa::IniFileText file = zefa::IniFileText::Decode(input);
  Check(file.Encode() == input, "a file's bytes are written back as they were");
  const std::string edited = zefa::SetInText(file.text, "ZEFA_ID", "CommPort", value);
  zefa::IniDocument expected = zefa::IniDocument::Parse(file.text);
  expected.Set("ZEFA_ID", "CommPort", value);
  Check(zefa::IniDocument::Parse(edited).Serialize() == expected.Serialize(), "an edit in place reads as Set");
  zefa::IniFileText changed = file;
  changed.text = edited;
  const zefa::IniFileText reread = zefa::IniFileText::Decode(changed.Encode());
  Check(reread.text == edited && reread.tail == file.tail, "edited text and tail read back the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckFileText(input, std::to_string(static_cast<int32_t>(size) - 3));
  const zefa::IniDocument document = zefa::IniDocument::Parse(input);
  const std::string written = document.Serialize();
  CheckWrittenFormIsStable(written);

  for (const auto& section : document.Sections()) {
    for (const auto& line : section.lines) {
      if (!line.isKey) continue;
      const auto value = document.Get(section.name, line.name);
      Check(value == Expected(document, section.name, line.name), "get finds the last occurrence");
      Check(value.has_value() || &section != &document.Sections().back(), "a key of the last section is found");
      CheckWholeNumber(line.value);
    }
  }
  CheckWholeNumber(input);

  // Set the port as the program does, a value taken from the content, and
  // a number under a key taken from the content.
  CheckSet(document, "ZEFA_ID", "CommPort", std::to_string(static_cast<int32_t>(size) - 3));
  if (!document.Sections().empty()) {
    const auto& last = document.Sections().back();
    const auto firstKey = std::find_if(last.lines.begin(), last.lines.end(),
                                       [](const zefa::IniDocument::Line& line) { return line.isKey; });
    if (firstKey != last.lines.end()) {
      CheckSet(document, "ZEFA_ID", "CommPort", firstKey->value);
      CheckSet(document, last.name, firstKey->name, std::to_string(size));
    }
    CheckSet(document, last.name, "k", "-1");
  }
  return 0;
}
