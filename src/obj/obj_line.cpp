#include "obj/obj_line.h"

#include "text/catalogue.h"
#include "text/error.h"

namespace korvane::obj {

VertexRead ReadVertex(const std::string_view* coords, std::size_t count) {
  VertexRead out;
  for (std::size_t i = 0; i < 3; ++i) {
    if (i >= count) {
      out.status = text::ParseStatus::invalid;
      return out;
    }
    const text::ParseResult r = text::ParseDouble(coords[i]);
    if (r.status != text::ParseStatus::ok) {
      out.status = r.status;
      return out;
    }
    out.position[static_cast<Eigen::Index>(i)] = r.value;
    if (r.consumed < coords[i].size()) out.trailingText = true;
  }
  return out;
}

std::size_t LeadingMarkLength(std::string_view start, const std::string& source) {
  if (text::StartsAsUtf16(start)) {
    throw Error(Error::Kind::refused, text::Message().Host(source).Own(": ").Say(text::kUtf16Text));
  }
  return start.substr(0, text::kUtf8Mark.size()) == text::kUtf8Mark ? text::kUtf8Mark.size() : 0;
}

void ThrowMovedOutOfRange(const std::string& source, std::uint64_t line_number) {
  // The file and line go with the error too: hosts read them apart from the text.
  throw Error(Error::Kind::refused, text::AtLine(source, line_number).Say(text::kVertexToInfinity),
              source, line_number);
}

}  // namespace korvane::obj
