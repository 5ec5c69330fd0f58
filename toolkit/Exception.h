// The base exception class of the program: carries a message text (UTF-8).
#pragma once

#include <exception>
#include <string>
#include <utility>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}

  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};
