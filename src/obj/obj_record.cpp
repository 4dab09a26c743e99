#include "obj/obj_record.h"

#include <string_view>

#include "obj/obj_line.h"
#include "text/catalogue.h"
#include "text/error.h"
#include "text/lines.h"
#include "text/messages.h"

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

ObjRecord::ObjRecord(const std::string& line) : line_(line) {
  text::ForEachToken(line_, [&](std::string_view t) { tokens_.emplace_back(t); });
  if (!tokens_.empty()) keyword_ = std::string(obj::KeywordOf(tokens_[0]));
}

geometry::Vector3 ObjRecord::GetVertex() const {
  if (!IsVertex()) throw Error(Error::Kind::misuse, text::Message(text::kGetVertexMisuse));
  std::string_view coords[3];
  const std::size_t count = tokens_.size() > 3 ? 3 : tokens_.size() - 1;
  for (std::size_t i = 0; i < count; ++i) coords[i] = tokens_[i + 1];
  const obj::VertexRead r = obj::ReadVertex(coords, count);
  if (r.status == text::ParseStatus::invalid) {
    throw Error(Error::Kind::invalid_number, text::Message(text::kInvalidStod));
  }
  if (r.status == text::ParseStatus::out_of_range) {
    throw Error(Error::Kind::number_out_of_range, text::Message(text::kStodOutOfRange));
  }
  return r.position;
}

void ObjRecord::SetVertex(const geometry::Vector3& v) {
  if (!IsVertex()) throw Error(Error::Kind::misuse, text::Message(text::kSetVertexMisuse));
  // A short "v" line gains the missing coordinate tokens rather than losing data.
  if (tokens_.size() < 4) tokens_.resize(4);
  tokens_[1] = text::ToFixed6(v.x());
  tokens_[2] = text::ToFixed6(v.y());
  tokens_[3] = text::ToFixed6(v.z());
}

std::string ObjRecord::ToString() const {
  std::string out;
  for (const std::string& t : tokens_) {
    out += t;
    out += ' ';
  }
  return out;
}

}  // namespace korvane::obj
