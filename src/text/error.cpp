#include "text/error.h"

#include <new>
#include <stdexcept>

#include "text/catalogue.h"
#include "text/messages.h"

namespace korvane::text {

Message MessageOfCurrentException() noexcept {
  try {
    try {
      throw;
    } catch (const Error& e) {
      return e.message();
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

}  // namespace korvane::text
