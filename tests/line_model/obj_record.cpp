#include "line_model/obj_record.h"

#include <string_view>

#include "obj/obj_line.h"
#include "text/error.h"
#include "text/lines.h"
#include "text/messages.h"

namespace korvane::obj {

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
