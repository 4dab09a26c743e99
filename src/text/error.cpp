#include "text/error.h"

#include <new>
#include <stdexcept>

#include "text/catalogue.h"
#include "text/messages.h"

namespace korvane::text {

namespace {

Message OfCurrentException(bool plain) noexcept {
  try {
    try {
      throw;
    } catch (const Error& e) {
      return plain ? e.plain() : e.message();
    } catch (const std::bad_alloc&) {
      return Message().Say(kOutOfMemory);
    } catch (const std::exception& e) {
      return Message().Own(e.what());
    } catch (const char* foreign) {
      // Raised by code that is not the library's own.
      return Message().Own(foreign != nullptr ? foreign : "");
    } catch (...) {
      return Message().Say(kUnexpectedError);
    }
  } catch (...) {
    // Building the message itself failed (memory): an empty text is all that is left.
    return Message();
  }
}

}  // namespace

Message MessageOfCurrentException() noexcept { return OfCurrentException(false); }

Message PlainMessageOfCurrentException() noexcept { return OfCurrentException(true); }

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
