#include "api/mesh_commands.h"

#include <optional>

#include "api/commands.h"
#include "api/globals.h"
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

obj::StreamOptions Streaming() {
  obj::StreamOptions options;
  options.threads = ThreadCount();
  return options;
}

obj::ObjDocument LoadVerticesOrReport(const std::string& path) {
  obj::ObjDocument d;
  if (!d.LoadVertices(path, Streaming())) ShowOpenFailure(path);
  return d;
}

}  // namespace

matrix::Measurement MeasureFiles(const std::string& base_path, const std::string& transformed_path,
                                 const std::string& output) {
  obj::ObjDocument base = LoadVerticesOrReport(base_path);
  obj::ObjDocument transformed = LoadVerticesOrReport(transformed_path);
  const bool same = base.vertices.size() == transformed.vertices.size();
  platform::Current().WriteConsoleLine(same ? "same topology" : "different topology");
  try {
    return matrix::Measure(std::move(base), std::move(transformed));
  } catch (const Error& e) {
    RethrowRefusal(e, &text::kCannotMeasure, output);
  }
}

void CalcMatrix(const CommandArgs&) {
  const std::string output = JoinWithSeparator(kActiveMatrixName);
  const matrix::Measurement m =
      MeasureFiles(JoinDirect(kBaseObjName), JoinDirect(kTransformedObjName), kActiveMatrixName);
  matrix::WriteMatrixFile(output, m.analysis.matrix);
}

void ApplyMatrix(const CommandArgs& args) {
  const bool inverse = args.value < 0.0;
  const std::string text = args.Text();
  const std::string matrix_path =
      platform::Current().PathExists(text) ? text : JoinWithSeparator(kActiveMatrixName);
  std::optional<geometry::Matrix4> m;
  try {
    m = matrix::LoadMotion(matrix_path, inverse);
  } catch (const Error& e) {
    RethrowRefusal(e, nullptr, kAppliedObjName);
  }
  if (!m) {
    // The fixed text names active.matrix whichever file was tried.
    platform::Current().ShowMessage(text::Message(), text::Message(text::kActiveMatrixOpenFailed));
    return;
  }
  const std::string target = JoinDirect(kTargetObjName);
  const std::string applied = JoinDirect(kAppliedObjName);
  bool opened = false;
  try {
    opened = obj::TransformObjFile(target, applied, *m, Streaming());
  } catch (const Error& e) {
    RethrowRefusal(e, nullptr, kAppliedObjName);
  }
  if (!opened) {
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
