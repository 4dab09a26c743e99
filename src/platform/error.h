// The one exception type the library raises for trouble it reports itself.
#pragma once

#include <cstdint>
#include <exception>
#include <utility>

#include "platform/platform.h"

namespace korvane {

class Error : public std::exception {
 public:
  enum class Kind { invalid_number, number_out_of_range, io, refused };

  Error(Kind kind, platform::Message message) : kind_(kind), message_(std::move(message)) {}
  Kind kind() const noexcept { return kind_; }
  const platform::Message& message() const noexcept { return message_; }
  const char* what() const noexcept override { return "korvane::Error"; }

 private:
  Kind kind_;
  platform::Message message_;
};

}  // namespace korvane
