#include "line_model/obj_document.h"

#include "geometry/farthest.h"
#include "obj/obj_line.h"
#include "line_model/obj_record.h"
#include "obj/obj_stream.h"
#include "platform/file_io.h"
#include "text/error.h"
#include "text/lines.h"
#include "text/messages.h"

namespace korvane::obj {

namespace {

// The model reports a file that cannot be opened by its result, as the
// design it follows does.
template <class F>
bool Opened(F&& open) {
  try {
    open();
    return true;
  } catch (const Error& e) {
    if (e.kind() != Error::Kind::cannot_open) throw;
    return false;
  }
}

}  // namespace

ObjDocument::ObjDocument() : transform(geometry::IdentityMatrix4()) {}

void ObjDocument::AddLine(std::string_view line, const std::string& source_name,
                          std::uint64_t number) {
  lines.emplace_back(line);
  const ObjRecord record(lines.back());
  if (!record.IsVertex()) return;
  try {
    vertices.push_back(record.GetVertex());
  } catch (const Error& e) {
    // Name the file and line, as the streaming reader does.
    text::ThrowConversionError(e.kind() == Error::Kind::number_out_of_range
                                   ? text::ParseStatus::out_of_range
                                   : text::ParseStatus::invalid,
                               source_name, number);
  }
}

bool ObjDocument::Load(const std::string& path) {
  lines.clear();
  transform = geometry::IdentityMatrix4();
  sourceName = path;
  platform::InputFile in;
  if (!Opened([&] { obj::OpenObj(in, path, &utf8Mark); })) return false;
  obj::LineReader reader(in);
  std::string_view line;
  while (reader.Next(line)) AddLine(line, path, reader.lineNumber());
  return true;
}

void ObjDocument::LoadText(std::string_view text, const std::string& source_name) {
  lines.clear();
  transform = geometry::IdentityMatrix4();
  sourceName = source_name;
  const std::size_t mark = LeadingMarkLength(text, source_name);
  utf8Mark = mark != 0;
  text.remove_prefix(mark);
  text::ForEachTextLine(text, [&](std::string_view line, std::uint64_t number) {
    AddLine(line, source_name, number);
  });
}

bool ObjDocument::LoadVertices(const std::string& path, const StreamOptions& options) {
  lines.clear();
  utf8Mark = false;
  sourceName = path;
  transform = geometry::IdentityMatrix4();
  return Opened([&] { obj::LoadObjVertices(path, vertices, options); });
}

std::string ObjDocument::ToString() const {
  std::string out(utf8Mark ? text::kUtf8Mark : std::string_view());
  std::uint64_t number = 0;
  for (const std::string& line : lines) {
    ++number;
    ObjRecord record(line);
    if (record.IsVertex()) {
      const geometry::Vector3 from = record.GetVertex();
      const geometry::Vector3 to = geometry::TransformPoint(transform, from);
      if (MovedOutOfRange(from, to)) ThrowMovedOutOfRange(sourceName, number);
      record.SetVertex(to);
    }
    out += record.ToString();
    out += '\n';
  }
  return out;
}

bool ObjDocument::CalcFarthestPoint() {
  const geometry::ReferenceIndices r = geometry::FarthestPointExhaustive(vertices);
  pointIndexA = r.a;
  pointIndexB = r.b;
  pointIndexC = r.c;
  return true;
}

bool ObjDocument::CalcFarthestPointByAxis() {
  const geometry::ReferenceIndices r = geometry::FarthestPointByAxis(
      vertices, geometry::ReferenceIndices{pointIndexA, pointIndexB, pointIndexC});
  pointIndexA = r.a;
  pointIndexB = r.b;
  pointIndexC = r.c;
  return true;
}

namespace {

bool IsAnalysed(const ObjDocument& d) {
  const auto n = static_cast<std::int64_t>(d.vertices.size());
  const auto in_range = [n](std::int32_t i) { return i >= 0 && i < n; };
  return d.pointIndexA != d.pointIndexB && d.pointIndexB != d.pointIndexC &&
         d.pointIndexC != d.pointIndexA && in_range(d.pointIndexA) && in_range(d.pointIndexB) &&
         in_range(d.pointIndexC);
}

}  // namespace

geometry::AffineAnalysis AnalyzeDocuments(const ObjDocument& base, const ObjDocument& transformed) {
  if (!IsAnalysed(base) || !IsAnalysed(transformed)) {
    throw Error(Error::Kind::misuse, text::Message(text::kNotAnalysed));
  }
  const auto at = [](const ObjDocument& d, std::int32_t i) {
    return d.vertices[static_cast<std::size_t>(i)];
  };
  const geometry::ReferenceTriangles t{at(base, base.pointIndexA),
                                       at(base, base.pointIndexB),
                                       at(base, base.pointIndexC),
                                       at(transformed, transformed.pointIndexA),
                                       at(transformed, transformed.pointIndexB),
                                       at(transformed, transformed.pointIndexC)};
  return geometry::AnalyzeTriangles(t);
}

}  // namespace korvane::obj
