#include "Json.h"

#include <cstdio>

#include "WideText.h"

namespace uidriver {

std::string JsonQuote(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::SetRaw(const std::string& key, const std::string& json) {
  if (!FMembers.empty()) FMembers += ",";
  FMembers += JsonQuote(key) + ":" + json;
  return *this;
}

JsonObject& JsonObject::SetBool(const std::string& key, bool value) { return SetRaw(key, value ? "true" : "false"); }

JsonObject& JsonObject::SetInt(const std::string& key, int64_t value) { return SetRaw(key, std::to_string(value)); }

JsonObject& JsonObject::SetNumber(const std::string& key, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return SetRaw(key, text);
}

JsonObject& JsonObject::SetText(const std::string& key, const std::string& utf8) {
  return SetRaw(key, JsonQuote(utf8));
}

JsonObject& JsonObject::SetText(const std::string& key, const std::wstring& text) {
  return SetRaw(key, JsonQuote(WideToUtf8(text)));
}

JsonObject& JsonObject::SetObject(const std::string& key, const JsonObject& value) {
  return SetRaw(key, value.Text());
}

JsonObject& JsonObject::SetArray(const std::string& key, const JsonArray& value) {
  return SetRaw(key, value.Text());
}

JsonObject& JsonObject::Merge(const JsonObject& other) {
  if (other.FMembers.empty()) return *this;
  if (!FMembers.empty()) FMembers += ",";
  FMembers += other.FMembers;
  return *this;
}

JsonArray& JsonArray::AddRaw(const std::string& json) {
  if (!FItems.empty()) FItems += ",";
  FItems += json;
  return *this;
}

JsonArray& JsonArray::AddInt(int64_t value) { return AddRaw(std::to_string(value)); }

JsonArray& JsonArray::AddText(const std::wstring& text) { return AddRaw(JsonQuote(WideToUtf8(text))); }

JsonArray& JsonArray::AddObject(const JsonObject& value) { return AddRaw(value.Text()); }

}  // namespace uidriver
