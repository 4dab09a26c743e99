#include "matrix/motion.h"

#include <cmath>
#include <cstdint>

#include "matrix/matrix_file.h"
#include "text/catalogue.h"
#include "text/error.h"
#include "text/numbers.h"

namespace korvane::matrix {
namespace {

[[noreturn]] void RefuseMatrix(const std::string& path, const text::Phrase& reason) {
  if (path.empty()) throw Error(Error::Kind::refused, text::Message().Say(reason));
  throw Error(Error::Kind::refused, text::Message().Host(path).Own(": ").Say(reason));
}

// Where a message about rows `first` to `last` points: the file's lines, or for
// a matrix given as numbers (no path) the matrix itself.
text::Message Rows(const std::string& path, std::uint64_t first, std::uint64_t last) {
  if (path.empty()) return text::Message().Say(text::kTheMatrix);
  if (first == last) return text::AtLine(path, first);
  return text::Message().Host(path).Say(text::kMatrixLinesOneToThree);
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

geometry::Matrix4 LoadMotionStrict(const std::string& path, bool inverse) {
  const geometry::Matrix4 m = ReadMatrixFileStrict(path);
  CheckMotionShape(m, path);
  return CheckedMotion(m, path, inverse);
}

void CheckMotionShape(const geometry::Matrix4& m, const std::string& path) {
  if (!m.matrix().allFinite()) RefuseMatrix(path, text::kMatrixNotFinite);
  const Eigen::Matrix4d& a = m.matrix();
  if (a.row(3) != Eigen::RowVector4d(0, 0, 0, 1)) {
    // A matrix written for row vectors carries its shift in the bottom row.
    const bool transposed =
        a(3, 3) == 1 && !a.block<1, 3>(3, 0).isZero(0) && a.block<3, 1>(0, 3).isZero(0);
    text::Message says = Rows(path, 4, 4);
    says.Say(text::kMatrixBottomRow)
        .Say(transposed ? text::kMatrixLooksTransposed : text::kMatrixBottomRowHint);
    throw Error(Error::Kind::refused, std::move(says), path, path.empty() ? 0 : 4);
  }
  // Scaled by the largest coefficient first, so that neither the determinant nor the cube of a
  // length overflows or underflows for a motion that is merely large or small.
  const Eigen::Matrix3d linear = a.topLeftCorner<3, 3>();
  const double largest = linear.cwiseAbs().maxCoeff();
  bool singular = largest == 0;
  double scale = 0.0;
  if (!singular) {
    const Eigen::Matrix3d n = linear / largest;
    const double column = n.colwise().norm().maxCoeff();
    const double det = std::abs(n.determinant());
    singular = det <= 1e-12 * column * column * column;
    scale = largest * std::cbrt(det);
  }
  if (singular) {
    throw Error(Error::Kind::refused, Rows(path, 1, 3).Say(text::kMatrixSingular), path);
  }
  // Beyond this, its determinant and its inverse's leave the ordinary doubles,
  // and a replay writes every vertex of a usual mesh as 0 0 0 or infinity.
  if (!(scale >= kSmallestScale && scale <= kLargestScale)) {
    throw Error(Error::Kind::refused,
                Rows(path, 1, 3)
                    .Say(text::kMatrixScaleIs)
                    .Own(text::ToGeneral15(scale))
                    .Say(text::kMatrixScaleOutOfRange),
                path);
  }
}

}  // namespace korvane::matrix
