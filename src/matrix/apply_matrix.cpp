#include "matrix/apply_matrix.h"

#include "api/commands.h"
#include "api/globals.h"
#include "matrix/matrix_file.h"
#include "obj/obj_stream.h"
#include "platform/error.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/messages.h"

namespace korvane {
namespace {

[[noreturn]] void RefuseMatrix(const std::string& path, const char* reason) {
  throw Error(Error::Kind::refused, platform::Message()
                                        .Host(path)
                                        .Own(": ")
                                        .Own(reason)
                                        .Own("; applied.obj was not changed"));
}

bool LinearPartFinite(const Matrix4& m) { return m.matrix().topRows<3>().allFinite(); }

}  // namespace

std::optional<Matrix4> LoadMotion(const std::string& path, bool inverse) {
  std::string text;
  if (!ReadMatrixFile(path, text)) {
    platform::Current().ShowMessage(platform::Message(),
                                    platform::Message().Own(texts::kActiveMatrixOpenFailed));
    return std::nullopt;
  }
  return MotionFromText(text, path, inverse);
}

Matrix4 MotionFromText(const std::string& text, const std::string& path, bool inverse) {
  const Matrix4 m = ParseMatrixText(text, path);
  // Vertices moved by infinities or NaN would be written as "nan" text.
  if (!LinearPartFinite(m)) RefuseMatrix(path, "the matrix holds a value that is not finite");
  if (!inverse) return m * IdentityMatrix4();
  const Matrix4 inv = m.inverse();
  if (!LinearPartFinite(inv)) RefuseMatrix(path, "the matrix cannot be inverted");
  return inv * IdentityMatrix4();
}

namespace cmd {

void ApplyMatrix(const CommandArgs& args) {
  const bool inverse = args.value < 0.0;
  const std::string text = args.Text();
  const std::string matrix_path =
      platform::Current().PathExists(text) ? text : JoinWithSeparator(kActiveMatrixName);
  const std::optional<Matrix4> m = LoadMotion(matrix_path, inverse);
  if (!m) return;
  const std::string target = JoinDirect(kTargetObjName);
  const std::string applied = JoinDirect(kAppliedObjName);
  // A target that cannot be opened has been reported; the result is empty.
  if (!obj::TransformObjFile(target, applied, *m)) io::WriteFileAtomically(applied, {});
}

void ApplyMatrixInverse(const CommandArgs& args) {
  CommandArgs forwarded = args;
  forwarded.value = -1.0;
  ApplyMatrix(forwarded);
}

}  // namespace cmd
}  // namespace korvane
