#include "text/error.h"

#include <new>
#include <stdexcept>

#include "text/catalogue.h"
#include "text/messages.h"

namespace korvane::text {

CurrentException ClassifyCurrentException(bool plain) noexcept {
  CurrentException c;
  try {
    try {
      throw;
    } catch (const Error& e) {
      c.kind = e.kind();
      c.file = e.file();
      c.line = e.line();
      c.message = plain ? e.plain() : e.message();
    } catch (const std::bad_alloc&) {
      c.message = Message().Say(kOutOfMemory);
    } catch (const std::exception& e) {
      c.message = Message().Own(e.what());
    } catch (const char* foreign) {
      // Raised by code that is not the library's own.
      c.message = Message().Own(foreign != nullptr ? foreign : "");
    } catch (...) {
      c.message = Message().Say(kUnexpectedError);
    }
  } catch (...) {
    // Building the message itself failed (memory): an empty text is all that is left.
    c.message = Message();
  }
  return c;
}

Message MessageOfCurrentException() noexcept { return ClassifyCurrentException(false).message; }

Message PlainMessageOfCurrentException() noexcept { return ClassifyCurrentException(true).message; }

std::string Quoted(std::string_view token) {
  constexpr std::size_t kShown = 40;
  if (token.size() <= kShown) return "'" + std::string(token) + "'";
  return "'" + std::string(token.substr(0, kShown)) + "...'";
}

Message AtLine(const std::string& source, std::uint64_t line_number) {
  Message m;
  m.Host(source).Say(kLine).Own(std::to_string(line_number)).Say(kLineEnd);
  return m;
}

void ThrowCannotOpen(const std::string& path) {
  throw Error(Error::Kind::cannot_open, Message().Say(kCannotOpen).Host(path), path);
}

void ThrowConversionError(ParseStatus status, const std::string& source,
                          std::uint64_t line_number) {
  const bool range = status == ParseStatus::out_of_range;
  Message m = AtLine(source, line_number);
  m.Own(range ? kStodOutOfRange : kInvalidStod);
  throw Error(range ? Error::Kind::number_out_of_range : Error::Kind::invalid_number, std::move(m),
              source, line_number);
}

void ThrowVertexConversionError(ParseStatus status, const std::string& source,
                                std::uint64_t line_number, const std::string_view* coords,
                                std::size_t count) {
  Message plain = AtLine(source, line_number);
  for (std::size_t i = 0; i < 3; ++i) {
    if (i >= count) {
      plain.Say(kVertexNeedsThree).Own(std::to_string(i)).Say(kVertexNeedsThreeEnd);
      break;
    }
    const ParseResult r = ParseDouble(coords[i]);
    if (r.status == ParseStatus::ok) continue;
    plain.Host(Quoted(coords[i]))
        .Say(r.status == ParseStatus::out_of_range ? kBeyondNumbers : kMatrixIsNotANumber)
        .Say(kWriteCoordinates);
    break;
  }
  try {
    ThrowConversionError(status, source, line_number);
  } catch (Error& e) {
    e.Plainly(std::move(plain));
    throw;
  }
}

}  // namespace korvane::text
