// The one exception type of the library, and the one place that turns
// whatever a command raised into the message the user is shown.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "text/message.h"
#include "text/numbers.h"
#include "text/refusal.h"

namespace korvane {

class Error : public std::exception {
 public:
  enum class Kind {
    invalid_number,       // a number that does not convert
    number_out_of_range,  // a number beyond the double range
    cannot_open,          // an input file that is missing, unreadable or not a regular file
    io,                   // a file that cannot be read or written
    refused,              // input the library will not process (degenerate, not finite)
    misuse,               // an operation called in a state that does not allow it
    usage,                // a command line that does not parse
  };

  // `file` and `line` say where in a file the error lies, when it concerns one
  // place of one file (callers that report it structurally read them).
  Error(Kind kind, text::Message message, std::string file = {}, std::uint64_t line = 0)
      : kind_(kind), message_(std::move(message)), file_(std::move(file)), line_(line) {}
  // A refusal of the geometry: its words come from text::Describe.
  explicit Error(const text::Refusal& refusal)
      : kind_(Kind::refused), message_(text::Describe(refusal)), refusal_(refusal) {}
  Kind kind() const noexcept { return kind_; }
  // The code of a refusal raised from one; nullopt for other errors.
  const std::optional<text::Refusal>& refusal() const noexcept { return refusal_; }
  const text::Message& message() const noexcept { return message_; }
  // The message in plain words, for the hosts other than the DLL, whose fixed
  // texts (std::stod's) stay as they always were; message() when there is none.
  const text::Message& plain() const noexcept { return plain_ ? *plain_ : message_; }
  Error& Plainly(text::Message plain) {
    plain_ = std::move(plain);
    return *this;
  }
  const std::string& file() const noexcept { return file_; }  // empty when not known
  std::uint64_t line() const noexcept { return line_; }       // 1-based; 0 when not known
  const char* what() const noexcept override { return "korvane::Error"; }

 private:
  Kind kind_;
  text::Message message_;
  std::optional<text::Message> plain_;
  std::optional<text::Refusal> refusal_;
  std::string file_;
  std::uint64_t line_ = 0;
};

namespace text {

// The message for the exception being handled: an Error's own message, "out of
// memory", a standard exception's what(), a thrown C string, or "unexpected
// error". Call it only inside a catch block.
Message MessageOfCurrentException() noexcept;
// The exception being handled, told apart in this one place: its message (with
// `plain`, an Error's plain words) and, for an Error, its kind and place. Call
// it only inside a catch block.
struct CurrentException {
  Message message;
  std::optional<Error::Kind> kind;  // nullopt: not an Error
  std::string file;                 // empty when not known
  std::uint64_t line = 0;           // 0 when not known
};
CurrentException ClassifyCurrentException(bool plain) noexcept;
// The same with an Error's plain words (Error::plain()): what every host but
// the DLL shows.
Message PlainMessageOfCurrentException() noexcept;

// A token as a message quotes it: 'oops', a runaway one cut short.
std::string Quoted(std::string_view token);

// "<source> line <n>: ", the start of a message about one line of a file.
Message AtLine(const std::string& source, std::uint64_t line_number);

// Raises "cannot open <path>": a file the caller needs is missing or unreadable.
[[noreturn]] void ThrowCannotOpen(const std::string& path);

// Raises the conversion error of a number read from `source` at `line_number`:
// "<source> line <n>: invalid stod argument" (or "... out of range").
[[noreturn]] void ThrowConversionError(ParseStatus status, const std::string& source,
                                       std::uint64_t line_number);
// The same for a vertex line, whose coordinate tokens (after the keyword) are
// `coords`: its plain words name the token at fault or the numbers missing.
[[noreturn]] void ThrowVertexConversionError(ParseStatus status, const std::string& source,
                                             std::uint64_t line_number,
                                             const std::string_view* coords, std::size_t count);

}  // namespace text
}  // namespace korvane
