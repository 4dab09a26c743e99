#include "obj/obj_record.h"

#include <stdexcept>
#include <string_view>

#include "obj/obj_line.h"
#include "text/messages.h"

namespace korvane {

namespace obj {

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

}  // namespace obj

ObjRecord::ObjRecord(const std::string& line) : line_(line) {
  obj::ForEachToken(line_, [&](std::string_view t) { tokens_.emplace_back(t); });
  if (!tokens_.empty()) keyword_ = std::string(obj::KeywordOf(tokens_[0]));
}

Vector3 ObjRecord::GetVertex() const {
  if (!IsVertex()) throw texts::kGetVertexMisuse;
  std::string_view coords[3];
  const std::size_t count = tokens_.size() > 3 ? 3 : tokens_.size() - 1;
  for (std::size_t i = 0; i < count; ++i) coords[i] = tokens_[i + 1];
  const obj::VertexRead r = obj::ReadVertex(coords, count);
  if (r.status == text::ParseStatus::invalid) throw std::invalid_argument(texts::kInvalidStod);
  if (r.status == text::ParseStatus::out_of_range) throw std::out_of_range(texts::kStodOutOfRange);
  return r.position;
}

void ObjRecord::SetVertex(const Vector3& v) {
  if (!IsVertex()) throw texts::kSetVertexMisuse;
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

}  // namespace korvane
