// A small JSON writer for the driver's result lines: one object per line,
// keys in the order they were set, texts in UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace uidriver {

class JsonArray;

class JsonObject {
 public:
  JsonObject& SetBool(const std::string& key, bool value);
  JsonObject& SetInt(const std::string& key, int64_t value);
  JsonObject& SetNumber(const std::string& key, double value);
  JsonObject& SetText(const std::string& key, const std::string& utf8);
  JsonObject& SetText(const std::string& key, const std::wstring& text);
  JsonObject& SetObject(const std::string& key, const JsonObject& value);
  JsonObject& SetArray(const std::string& key, const JsonArray& value);
  // Copies every member of other after the members of this object.
  JsonObject& Merge(const JsonObject& other);

  std::string Text() const { return "{" + FMembers + "}"; }

 private:
  JsonObject& SetRaw(const std::string& key, const std::string& json);
  std::string FMembers;
};

class JsonArray {
 public:
  JsonArray& AddInt(int64_t value);
  JsonArray& AddText(const std::wstring& text);
  JsonArray& AddObject(const JsonObject& value);

  std::string Text() const { return "[" + FItems + "]"; }

 private:
  JsonArray& AddRaw(const std::string& json);
  std::string FItems;
};

// A JSON string literal, quotes included.
std::string JsonQuote(const std::string& utf8);

}  // namespace uidriver
