#include "obj/obj_document.h"

#include <stdexcept>

#include "geometry/farthest.h"
#include "obj/obj_record.h"
#include "obj/obj_stream.h"
#include "platform/file_io.h"

namespace korvane {

ObjDocument::ObjDocument() : transform(IdentityMatrix4()) {}

void ObjDocument::AddLine(std::string_view line, const std::string& source_name,
                          std::uint64_t number) {
  lines.emplace_back(line);
  const ObjRecord record(lines.back());
  if (!record.IsVertex()) return;
  try {
    vertices.push_back(record.GetVertex());
  } catch (const std::out_of_range&) {
    obj::ThrowConversionError(text::ParseStatus::out_of_range, source_name, number);
  } catch (const std::invalid_argument&) {
    obj::ThrowConversionError(text::ParseStatus::invalid, source_name, number);
  }
}

bool ObjDocument::Load(const std::string& path) {
  lines.clear();
  transform = IdentityMatrix4();
  io::InputFile in;
  if (!obj::OpenObj(in, path)) return false;
  obj::LineReader reader(in);
  std::string_view line;
  while (reader.Next(line)) AddLine(line, path, reader.line_number());
  return true;
}

void ObjDocument::LoadText(std::string_view text, const std::string& source_name) {
  lines.clear();
  transform = IdentityMatrix4();
  obj::ForEachTextLine(text, [&](std::string_view line, std::uint64_t number) {
    AddLine(line, source_name, number);
  });
}

bool ObjDocument::LoadVertices(const std::string& path) {
  lines.clear();
  transform = IdentityMatrix4();
  return obj::LoadObjVertices(path, vertices);
}

std::string ObjDocument::ToString() const {
  std::string out;
  for (const std::string& line : lines) {
    ObjRecord record(line);
    if (record.IsVertex()) record.SetVertex(TransformPoint(transform, record.GetVertex()));
    out += record.ToString();
    out += '\n';
  }
  return out;
}

bool ObjDocument::CalcFarthestPoint() {
  const ReferenceIndices r = FarthestPointExhaustive(vertices);
  pointIndexA = r.a;
  pointIndexB = r.b;
  pointIndexC = r.c;
  return true;
}

bool ObjDocument::CalcFarthestPointByAxis() {
  const ReferenceIndices r =
      FarthestPointByAxis(vertices, ReferenceIndices{pointIndexA, pointIndexB, pointIndexC});
  pointIndexA = r.a;
  pointIndexB = r.b;
  pointIndexC = r.c;
  return true;
}

}  // namespace korvane
