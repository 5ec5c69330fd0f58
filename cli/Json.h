// Just enough JSON for the reports: one-line objects of strings, numbers,
// booleans, nulls and arrays of objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zefa::cli {

// A JSON string literal. Bytes that are not UTF-8 (a device path may hold
// any byte) become U+FFFD, so the output always parses.
std::string JsonString(const std::string& text);

class JsonObject {
 public:
  JsonObject& Add(const std::string& key, const std::string& value);
  JsonObject& Add(const std::string& key, const char* value);
  JsonObject& Add(const std::string& key, int32_t value);
  JsonObject& Add(const std::string& key, const std::optional<int32_t>& value);  // null when empty
  JsonObject& AddBool(const std::string& key, bool value);
  JsonObject& Add(const std::string& key, const std::vector<JsonObject>& values);
  // json: a JSON value as text, taken as it is.
  JsonObject& AddJson(const std::string& key, const std::string& json);

  std::string Text() const;

 private:
  JsonObject& AddRaw(const std::string& key, const std::string& json);

  std::string FMembers;
};

}  // namespace zefa::cli
