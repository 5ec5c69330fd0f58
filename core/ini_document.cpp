#include "ini_document.h"

namespace zefa {
namespace {

bool IsBlank(char c) {
  return static_cast<uint8_t>(c) <= 0x20;
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// Splits at CR LF, LF and CR; the text ends at the first 0x00.
std::vector<std::string> SplitLines(const std::string& bytes) {
  const std::string text = bytes.substr(0, bytes.find('\0'));
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

bool IsSectionLine(const std::string& line) {
  return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

IniDocument::Line ParseLine(const std::string& line) {
  IniDocument::Line parsed;
  const size_t equals = line.find('=');
  if (equals == std::string::npos) {
    parsed.name = line;
  } else {
    parsed.name = Trim(line.substr(0, equals));
    parsed.value = Trim(line.substr(equals + 1));
    parsed.isKey = true;
  }
  return parsed;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int DecimalDigit(char c) {
  return (c >= '0' && c <= '9') ? c - '0' : -1;
}

}  // namespace

IniDocument IniDocument::Parse(const std::string& bytes) {
  IniDocument document;
  for (const std::string& raw : SplitLines(bytes)) {
    const std::string line = Trim(raw);
    if (line.empty() || line.front() == ';') continue;
    if (IsSectionLine(line)) {
      document.FSections.push_back(Section{Trim(line.substr(1, line.size() - 2)), {}});
    } else if (!document.FSections.empty()) {
      document.FSections.back().lines.push_back(ParseLine(line));
    }
  }
  return document;
}

std::string IniDocument::Serialize() const {
  static const char LineEnd[] = "\r\n";
  std::string bytes;
  for (const Section& section : FSections) {
    bytes += "[" + section.name + "]" + LineEnd;
    for (const Line& line : section.lines) {
      bytes += line.isKey ? line.name + "=" + line.value : line.name;
      bytes += LineEnd;
    }
    bytes += LineEnd;
  }
  return bytes;
}

const IniDocument::Section* IniDocument::FindSection(const std::string& name) const {
  for (auto it = FSections.rbegin(); it != FSections.rend(); ++it) {
    if (SameName(it->name, name)) return &*it;
  }
  return nullptr;
}

IniDocument::Section* IniDocument::FindSection(const std::string& name) {
  return const_cast<Section*>(static_cast<const IniDocument*>(this)->FindSection(name));
}

std::optional<std::string> IniDocument::Get(const std::string& section, const std::string& key) const {
  const Section* found = FindSection(section);
  if (found == nullptr) return std::nullopt;
  for (auto it = found->lines.rbegin(); it != found->lines.rend(); ++it) {
    if (it->isKey && SameName(it->name, key)) return it->value;
  }
  return std::nullopt;
}

void IniDocument::Set(const std::string& section, const std::string& key, const std::string& value) {
  const Line line{key, value, true};
  Section* found = FindSection(section);
  if (found == nullptr) {
    FSections.push_back(Section{section, {line}});
    return;
  }
  for (auto it = found->lines.rbegin(); it != found->lines.rend(); ++it) {
    if (it->isKey && SameName(it->name, key)) {
      *it = line;
      return;
    }
  }
  found->lines.push_back(line);
}

int32_t IniDocument::ReadInteger(const std::string& section, const std::string& key,
                                 int32_t defaultValue) const {
  const std::optional<std::string> value = Get(section, key);
  return value ? ReadWholeNumber(*value, defaultValue) : defaultValue;
}

void IniDocument::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  Set(section, key, std::to_string(value));
}

int32_t ReadWholeNumber(const std::string& text, int32_t defaultValue) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int base = 10;
  if (text.compare(pos, 1, "$") == 0) {
    base = 16;
    pos += 1;
  } else if (text.compare(pos, 2, "0x") == 0 || text.compare(pos, 2, "0X") == 0) {
    base = 16;
    pos += 2;
  }
  if (pos == text.size()) return defaultValue;

  // The magnitude may reach 2^31 for a negative number.
  const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
  int64_t magnitude = 0;
  for (; pos < text.size(); ++pos) {
    const int digit = base == 16 ? HexDigit(text[pos]) : DecimalDigit(text[pos]);
    if (digit < 0) return defaultValue;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return defaultValue;
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace zefa
