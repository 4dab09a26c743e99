#include "matrix/motion.h"

#include "matrix/matrix_file.h"
#include "text/error.h"

namespace korvane::matrix {
namespace {

[[noreturn]] void RefuseMatrix(const std::string& path, const char* reason) {
  throw Error(Error::Kind::refused, text::Message().Host(path).Own(": ").Own(reason));
}

bool LinearPartFinite(const geometry::Matrix4& m) { return m.matrix().topRows<3>().allFinite(); }

}  // namespace

std::optional<geometry::Matrix4> LoadMotion(const std::string& path, bool inverse) {
  std::string text;
  if (!ReadMatrixFile(path, text)) return std::nullopt;
  return MotionFromText(text, path, inverse);
}

geometry::Matrix4 MotionFromText(const std::string& text, const std::string& path, bool inverse) {
  return CheckedMotion(ParseMatrixText(text, path), path, inverse);
}

geometry::Matrix4 CheckedMotion(const geometry::Matrix4& m, const std::string& path, bool inverse) {
  // Vertices moved by infinities or NaN would be written as "nan" text.
  if (!LinearPartFinite(m)) RefuseMatrix(path, "the matrix holds a value that is not finite");
  if (!inverse) return m * geometry::IdentityMatrix4();
  const geometry::Matrix4 inv = m.inverse();
  if (!LinearPartFinite(inv)) RefuseMatrix(path, "the matrix cannot be inverted");
  return inv * geometry::IdentityMatrix4();
}

}  // namespace korvane::matrix
