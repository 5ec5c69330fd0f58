#include "Json.h"

#include <cstdio>

namespace zefa::cli {
namespace {

const char ReplacementCharacter[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

void AppendEscapedAscii(std::string& out, char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    out += escape;
  } else {
    out += c;
  }
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      AppendEscapedAscii(out, text[i]);
      ++i;
      continue;
    }
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += ReplacementCharacter;
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& value) {
  return AddRaw(key, JsonString(value));
}

JsonObject& JsonObject::Add(const std::string& key, const char* value) {
  return AddRaw(key, JsonString(value));
}

JsonObject& JsonObject::Add(const std::string& key, int32_t value) {
  return AddRaw(key, std::to_string(value));
}

JsonObject& JsonObject::Add(const std::string& key, const std::optional<int32_t>& value) {
  return AddRaw(key, value ? std::to_string(*value) : "null");
}

JsonObject& JsonObject::AddBool(const std::string& key, bool value) {
  return AddRaw(key, value ? "true" : "false");
}

JsonObject& JsonObject::Add(const std::string& key, const std::vector<JsonObject>& values) {
  std::string array = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) array += ",";
    array += values[i].Text();
  }
  return AddRaw(key, array + "]");
}

JsonObject& JsonObject::AddJson(const std::string& key, const std::string& json) {
  return AddRaw(key, json);
}

std::string JsonObject::Text() const {
  return "{" + FMembers + "}";
}

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
  if (!FMembers.empty()) FMembers += ",";
  FMembers += JsonString(key) + ":" + json;
  return *this;
}

}  // namespace zefa::cli
