#include "ini_document.h"

#include <algorithm>

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

const char Utf8Mark[] = "\xEF\xBB\xBF";

void AppendUtf8(std::string& text, uint32_t code) {
  if (code < 0x80) {
    text.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    text.push_back(static_cast<char>(0xC0 | (code >> 6)));
    text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    text.push_back(static_cast<char>(0xE0 | (code >> 12)));
    text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    text.push_back(static_cast<char>(0xF0 | (code >> 18)));
    text.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The next character of UTF-8 text and its length; a byte that starts no
// character of the text's own making stands for U+FFFD.
uint32_t NextCode(const std::string& text, size_t at, size_t& length) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const auto follows = [&](size_t count) {
    if (at + count >= text.size()) return false;
    for (size_t i = 1; i <= count; ++i) {
      if ((byte(at + i) & 0xC0) != 0x80) return false;
    }
    return true;
  };
  const uint8_t first = byte(at);
  length = 1;
  if (first < 0x80) return first;
  if ((first & 0xE0) == 0xC0 && follows(1)) {
    length = 2;
    return (uint32_t{first & 0x1Fu} << 6) | (byte(at + 1) & 0x3F);
  }
  if ((first & 0xF0) == 0xE0 && follows(2)) {
    length = 3;
    return (uint32_t{first & 0x0Fu} << 12) | (uint32_t{byte(at + 1) & 0x3Fu} << 6) | (byte(at + 2) & 0x3F);
  }
  if ((first & 0xF8) == 0xF0 && follows(3)) {
    const uint32_t code = (uint32_t{first & 0x07u} << 18) | (uint32_t{byte(at + 1) & 0x3Fu} << 12) |
                          (uint32_t{byte(at + 2) & 0x3Fu} << 6) | (byte(at + 3) & 0x3F);
    if (code >= 0x10000 && code <= 0x10FFFF) {
      length = 4;
      return code;
    }
  }
  return 0xFFFD;
}

struct TextLine {
  size_t begin;  // the line's bytes, without its line end
  size_t end;
  size_t next;   // where the next line begins
};

// The lines of text[0, limit) as SplitLines cuts them.
std::vector<TextLine> ScanLines(const std::string& text, size_t limit) {
  std::vector<TextLine> lines;
  size_t begin = 0;
  while (begin < limit) {
    size_t end = begin;
    while (end < limit && text[end] != '\r' && text[end] != '\n') ++end;
    size_t next = end;
    if (next < limit) next += (text[next] == '\r' && next + 1 < limit && text[next + 1] == '\n') ? 2 : 1;
    lines.push_back(TextLine{begin, end, next});
    begin = next;
  }
  return lines;
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

IniFileText IniFileText::Decode(const std::string& bytes) {
  IniFileText file;
  const bool little = bytes.compare(0, 2, "\xFF\xFE") == 0;
  const bool big = bytes.compare(0, 2, "\xFE\xFF") == 0;
  if (!little && !big) {
    size_t start = 0;
    if (bytes.compare(0, 3, Utf8Mark) == 0) {
      file.encoding = Encoding::Utf8Bom;
      start = 3;
    }
    const size_t nul = std::min(bytes.find('\0', start), bytes.size());
    file.text = bytes.substr(start, nul - start);
    file.tail = bytes.substr(nul);
    return file;
  }
  file.encoding = little ? Encoding::Utf16Le : Encoding::Utf16Be;
  const auto unit = [&](size_t at) -> uint32_t {
    const uint32_t a = static_cast<uint8_t>(bytes[at]);
    const uint32_t b = static_cast<uint8_t>(bytes[at + 1]);
    return little ? (b << 8) | a : (a << 8) | b;
  };
  size_t at = 2;
  while (at + 1 < bytes.size()) {
    const uint32_t high = unit(at);
    if (high == 0) break;
    if (high >= 0xD800 && high <= 0xDBFF && at + 3 < bytes.size()) {
      const uint32_t low = unit(at + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(file.text, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
        at += 4;
        continue;
      }
    }
    AppendUtf8(file.text, high);
    at += 2;
  }
  file.tail = bytes.substr(at);
  return file;
}

std::string IniFileText::Encode() const {
  if (encoding == Encoding::Bytes) return text + tail;
  if (encoding == Encoding::Utf8Bom) return Utf8Mark + text + tail;
  const bool little = encoding == Encoding::Utf16Le;
  std::string bytes = little ? "\xFF\xFE" : "\xFE\xFF";
  const auto put = [&](uint32_t unit) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes.push_back(little ? low : high);
    bytes.push_back(little ? high : low);
  };
  for (size_t at = 0; at < text.size();) {
    size_t length = 1;
    const uint32_t code = NextCode(text, at, length);
    if (code >= 0x10000) {
      put(0xD800 + ((code - 0x10000) >> 10));
      put(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      put(code);
    }
    at += length;
  }
  return bytes + tail;
}

std::string SetInText(const std::string& text, const std::string& section, const std::string& key,
                      const std::string& value) {
  // As for Parse, the text ends at a NUL.
  const size_t limit = std::min(text.find('\0'), text.size());
  const std::vector<TextLine> lines = ScanLines(text, limit);
  std::string lineEnd = "\r\n";
  for (const TextLine& line : lines) {
    if (line.next > line.end) {
      lineEnd = text.substr(line.end, line.next - line.end);
      break;
    }
  }
  // Of the last section with the name: where its last entry ends, and its
  // last line with the key.
  bool inSection = false;
  const TextLine* lastEntry = nullptr;
  const TextLine* keyLine = nullptr;
  for (const TextLine& line : lines) {
    const std::string trimmed = Trim(text.substr(line.begin, line.end - line.begin));
    if (trimmed.empty() || trimmed.front() == ';') continue;
    if (IsSectionLine(trimmed)) {
      inSection = SameName(Trim(trimmed.substr(1, trimmed.size() - 2)), section);
      if (inSection) {
        lastEntry = &line;
        keyLine = nullptr;
      }
      continue;
    }
    if (!inSection) continue;
    lastEntry = &line;
    const IniDocument::Line parsed = ParseLine(trimmed);
    if (parsed.isKey && SameName(parsed.name, key)) keyLine = &line;
  }
  const std::string entry = key + "=" + value;
  std::string result = text;
  if (keyLine != nullptr) {
    result.replace(keyLine->begin, keyLine->end - keyLine->begin, entry);
  } else if (lastEntry != nullptr) {
    const bool ended = lastEntry->next > lastEntry->end;
    result.insert(lastEntry->next, ended ? entry + lineEnd : lineEnd + entry);
  } else {
    const bool ended = limit == 0 || text[limit - 1] == '\r' || text[limit - 1] == '\n';
    result.insert(limit, (ended ? "" : lineEnd) + "[" + section + "]" + lineEnd + entry + lineEnd);
  }
  return result;
}

}  // namespace zefa
