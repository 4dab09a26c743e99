#include "matrix/motion.h"

#include "matrix/matrix_file.h"
#include "text/catalogue.h"
#include "text/error.h"

namespace korvane::matrix {
namespace {

[[noreturn]] void RefuseMatrix(const std::string& path, const text::Phrase& reason) {
  throw Error(Error::Kind::refused, text::Message().Host(path).Own(": ").Say(reason));
}

bool LinearPartFinite(const geometry::Matrix4& m) { return m.matrix().topRows<3>().allFinite(); }

}  // namespace

geometry::Matrix4 LoadMotion(const std::string& path, bool inverse) {
  return MotionFromText(ReadMatrixFile(path), path, inverse);
}

geometry::Matrix4 MotionFromText(const std::string& text, const std::string& path, bool inverse) {
  int numbers = 0;
  const geometry::Matrix4 m = ParseMatrixText(text, path, &numbers);
  // An empty file, or one of blank lines, would move nothing: surely not the
  // matrix meant.
  if (numbers == 0) RefuseMatrix(path, text::kMatrixHoldsNoNumber);
  return CheckedMotion(m, path, inverse);
}

geometry::Matrix4 CheckedMotion(const geometry::Matrix4& m, const std::string& path, bool inverse) {
  // Vertices moved by infinities or NaN would be written as "nan" text.
  if (!LinearPartFinite(m)) RefuseMatrix(path, text::kMatrixNotFinite);
  if (!inverse) return m * geometry::IdentityMatrix4();
  const geometry::Matrix4 inv = m.inverse();
  if (!LinearPartFinite(inv)) RefuseMatrix(path, text::kMatrixNotInvertible);
  return inv * geometry::IdentityMatrix4();
}

}  // namespace korvane::matrix
