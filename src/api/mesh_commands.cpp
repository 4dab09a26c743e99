#include "api/mesh_commands.h"

#include <vector>

#include "api/commands.h"
#include "api/globals.h"
#include "api/streaming.h"
#include "matrix/matrix_file.h"
#include "matrix/motion.h"
#include "obj/obj_stream.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/catalogue.h"
#include "text/error.h"
#include "text/messages.h"

namespace korvane::api {
namespace {

// The box a mesh that cannot be opened gets: its path, captioned "ファイルオープン失敗".
void ShowOpenFailure(const std::string& path) {
  platform::Current().ShowMessage(text::Message(text::kFileOpenFailed), text::Message().Host(path));
}

// Rethrows the error being handled (call it in a catch block); a refusal
// gains what it leaves untouched.
[[noreturn]] void RethrowRefusal(const Error& e, const text::Phrase* prefix,
                                 const std::string& untouched) {
  if (e.kind() != Error::Kind::refused) throw;
  text::Message m;
  if (prefix != nullptr) m.Say(*prefix);
  m.Append(e.message()).Say(text::kWasNotChangedBefore).Host(untouched).Say(text::kWasNotChanged);
  throw Error(e.kind(), std::move(m), e.file(), e.line());
}

obj::StreamOptions Streaming() { return StreamingOptions(ThreadCount()); }

// A mesh that cannot be opened is shown and measured as having no vertices.
std::vector<geometry::Vector3> LoadVerticesOrReport(const std::string& path) {
  std::vector<geometry::Vector3> v;
  try {
    obj::LoadObjVertices(path, v, Streaming());
  } catch (const Error& e) {
    if (e.kind() != Error::Kind::cannot_open) throw;
    ShowOpenFailure(path);
  }
  return v;
}

}  // namespace

Measurement MeasureFiles(const std::string& base_path, const std::string& transformed_path,
                         const std::string& output) {
  const std::vector<geometry::Vector3> base = LoadVerticesOrReport(base_path);
  const std::vector<geometry::Vector3> transformed = LoadVerticesOrReport(transformed_path);
  Measurement m;
  m.sameTopology = base.size() == transformed.size();
  platform::Current().WriteConsoleLine(m.sameTopology ? "same topology" : "different topology");
  try {
    m.motion = geometry::ThreePointRule(base, transformed);
  } catch (const Error& e) {
    // No reference triangle: the analysis was asked of meshes whose vertices were not chosen.
    if (e.refusal() && e.refusal()->reason == text::Reason::no_reference_triangle)
      throw Error(Error::Kind::misuse, text::Message(text::kNotAnalysed));
    RethrowRefusal(e, &text::kCannotMeasure, output);
  }
  return m;
}

void CalcMatrix(const CommandArgs&) {
  const std::string output = JoinWithSeparator(kActiveMatrixName);
  const Measurement m =
      MeasureFiles(JoinDirect(kBaseObjName), JoinDirect(kTransformedObjName), kActiveMatrixName);
  matrix::WriteMatrixFile(output, m.motion.matrix);
}

void ApplyMatrix(const CommandArgs& args) {
  const bool inverse = args.value < 0.0;
  const std::string text = args.Text();
  const std::string matrix_path =
      platform::Current().PathExists(text) ? text : JoinWithSeparator(kActiveMatrixName);
  geometry::Matrix4 m;
  try {
    m = matrix::LoadMotion(matrix_path, inverse);
  } catch (const Error& e) {
    if (e.kind() == Error::Kind::cannot_open) {
      // The fixed text names active.matrix whichever file was tried.
      platform::Current().ShowMessage(text::Message(),
                                      text::Message(text::kActiveMatrixOpenFailed));
      return;
    }
    RethrowRefusal(e, nullptr, kAppliedObjName);
  }
  const std::string target = JoinDirect(kTargetObjName);
  const std::string applied = JoinDirect(kAppliedObjName);
  try {
    obj::TransformObjFile(target, applied, m, Streaming());
  } catch (const Error& e) {
    if (e.kind() != Error::Kind::cannot_open) RethrowRefusal(e, nullptr, kAppliedObjName);
    // A host that reads applied.obj back must not pick up an earlier result.
    ShowOpenFailure(target);
    platform::WriteFileAtomically(applied, {});
  }
}

void ApplyMatrixInverse(const CommandArgs& args) {
  CommandArgs forwarded = args;
  forwarded.value = -1.0;
  ApplyMatrix(forwarded);
}

}  // namespace korvane::api
