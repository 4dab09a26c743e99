// The C++ interface of libKorvane.so (korvane/korvane.hpp): the rooms below
// driven directly, without the commands' message boxes and fixed file names.
// Every error leaves as korvane::Failure.
#include <algorithm>
#include <istream>
#include <ostream>
#include <utility>
#include <vector>

#include "geometry/fit.h"
#include "korvane/korvane.hpp"
#include "matrix/fit_report.h"
#include "matrix/matrix_file.h"
#include "matrix/motion.h"
#include "obj/obj_mesh.h"
#include "obj/obj_stream.h"
#include "platform/platform.h"
#include "text/catalogue.h"
#include "text/error.h"

namespace korvane {

Failure::Failure(const std::string& message, std::string file, std::uint64_t line)
    : std::runtime_error(message), file_(std::move(file)), line_(line) {}
Failure::~Failure() = default;
const std::string& Failure::file() const noexcept { return file_; }
std::uint64_t Failure::line() const noexcept { return line_; }

namespace {

// Turns whatever is being handled into a Failure; `file` stands in when the
// error itself names no place. Call it inside a catch block.
[[noreturn]] void RethrowAsFailure(const std::string& file) {
  std::string where = file;
  std::uint64_t line = 0;
  try {
    throw;
  } catch (const Failure&) {
    throw;
  } catch (const Error& e) {
    if (!e.file().empty()) {
      where = e.file();
      line = e.line();
    }
  } catch (...) {
  }
  throw Failure(platform::ToUtf8(text::MessageOfCurrentException()), where, line);
}

Vec3 ToVec3(const geometry::Vector3& v) { return {v.x(), v.y(), v.z()}; }

Matrix4x4 ToPublic(const geometry::Matrix4& m) {
  Matrix4x4 out{};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j)
      out[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = m.matrix()(i, j);
  }
  return out;
}

geometry::Matrix4 FromPublic(const Matrix4x4& m) {
  geometry::Matrix4 out = geometry::IdentityMatrix4();
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j)
      out.matrix()(i, j) = m[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
  }
  return out;
}

geometry::Matrix4 CheckedMotion(const Matrix4x4& m, bool inverse) {
  return matrix::CheckedMotion(FromPublic(m), "motion", inverse);
}

std::array<ReferenceVertex, 3> References(const std::vector<geometry::Vector3>& v,
                                          const geometry::ReferenceIndices& r) {
  std::array<ReferenceVertex, 3> out{};
  const std::int32_t indices[3] = {r.a, r.b, r.c};
  for (std::size_t k = 0; k < 3; ++k) {
    const auto i = static_cast<std::size_t>(indices[k]);
    out[k] = {i, ToVec3(v[i])};
  }
  return out;
}

Residual ToResidual(const geometry::ResidualStats& s) {
  Residual r;
  r.count = s.count;
  r.rms = s.rms;
  r.median = s.median;
  r.p95 = s.p95;
  r.max = s.max;
  r.rms_relative = s.rmsRelative;
  r.median_relative = s.medianRelative;
  r.p95_relative = s.p95Relative;
  r.max_relative = s.maxRelative;
  return r;
}

}  // namespace

MotionReport MeasureMotion(const std::string& base_obj, const std::string& moved_obj,
                           const MeasureOptions& options) {
  std::string current = base_obj;
  try {
    obj::StreamOptions stream;
    stream.threads = options.threads;
    // Only the moved mesh's faces are measured against.
    obj::Mesh base;
    if (!obj::LoadObjVertices(base_obj, base.vertices, stream)) text::ThrowCannotOpen(base_obj);
    current = moved_obj;
    obj::Mesh moved;
    if (!obj::LoadObjMesh(moved_obj, moved, stream)) text::ThrowCannotOpen(moved_obj);
    current.clear();
    matrix::FitRequest request;
    request.kind = options.fit == Fit::icp             ? geometry::FitKind::icp
                   : options.fit == Fit::least_squares ? geometry::FitKind::least_squares
                                                       : geometry::FitKind::three_point;
    request.tolerance = options.tolerance;
    if (options.trim >= 0.0) request.trim = options.trim;
    request.maxIterations = options.max_iterations;
    request.threads = options.threads;
    const matrix::FitReport f = matrix::MeasureFit(base, moved, request);
    MotionReport r;
    r.matrix = ToPublic(f.matrix);
    r.scale = f.parts.scale;
    r.rotation_axis = ToVec3(f.parts.axis);
    r.rotation_degrees = f.parts.angleDegrees;
    r.translation = ToVec3(f.parts.translation);
    r.same_topology = f.sameTopology;
    r.base_vertices = base.vertices.size();
    r.moved_vertices = moved.vertices.size();
    if (f.reference) {
      r.has_reference = true;
      r.base_reference = References(base.vertices, f.reference->base);
      r.moved_reference = References(moved.vertices, f.reference->moved);
    }
    r.surface = ToResidual(f.result.residuals.surface);
    r.to_surface = f.result.residuals.toSurface;
    r.paired = ToResidual(f.result.residuals.paired);
    r.fits = f.result.fits;
    r.message = matrix::Verdict(f);
    if (const char* cause = matrix::CauseName(f); cause != nullptr) r.cause = cause;
    r.iterations = f.result.iterations;
    return r;
  } catch (...) {
    RethrowAsFailure(current);
  }
}

ReplayReport ReplayMotion(const Matrix4x4& motion, const std::string& input_obj,
                          const std::string& output_obj) {
  try {
    obj::ReplayCounts counts;
    if (!obj::TransformObjFile(input_obj, output_obj, CheckedMotion(motion, false), {},
                               &counts)) {
      text::ThrowCannotOpen(input_obj);
    }
    return {counts.vertices};
  } catch (...) {
    RethrowAsFailure({});
  }
}

ReplayReport ReplayMotion(const Matrix4x4& motion, std::istream& input, std::ostream& output,
                          const std::string& source_name) {
  try {
    const geometry::Matrix4 m = CheckedMotion(motion, false);
    ReplayReport report;
    // Runs of whole lines go through the in-memory replay, numbered on from
    // the lines before them; the text after the last line feed is the last line.
    std::vector<char> buffer(std::size_t{1} << 20);
    std::size_t held = 0;
    std::uint64_t next_line = 1;
    for (;;) {
      if (held == buffer.size()) buffer.resize(buffer.size() * 2);
      input.read(buffer.data() + held, static_cast<std::streamsize>(buffer.size() - held));
      const auto got = static_cast<std::size_t>(input.gcount());
      if (input.bad())
        throw Error(Error::Kind::io, text::Message().Say(text::kCannotRead).Host(source_name),
                    source_name);
      held += got;
      const bool end = got == 0;
      std::size_t cut = held;
      if (!end) {
        while (cut > 0 && buffer[cut - 1] != '\n') --cut;
        if (cut == 0) continue;  // a line longer than the buffer: read on
      }
      std::string_view run(buffer.data(), end ? held : cut - 1);
      const auto lines = 1 + static_cast<std::uint64_t>(std::count(run.begin(), run.end(), '\n'));
      // The line feed that ends the run is cut off with it; so is the carriage return before it.
      if (!end && !run.empty() && run.back() == '\r') run.remove_suffix(1);
      obj::ReplayCounts counts;
      const std::string out =
          obj::TransformObjText(run, m, platform::kNewline, source_name, next_line, &counts);
      output.write(out.data(), static_cast<std::streamsize>(out.size()));
      if (!output)
        throw Error(Error::Kind::io,
                    text::Message().Own("cannot write the output of ").Host(source_name));
      report.vertices += counts.vertices;
      next_line += lines;
      if (end) return report;
      held -= cut;
      std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(cut),
                buffer.begin() + static_cast<std::ptrdiff_t>(cut + held), buffer.begin());
    }
  } catch (...) {
    RethrowAsFailure({});
  }
}

Matrix4x4 InverseMotion(const Matrix4x4& motion) {
  try {
    return ToPublic(CheckedMotion(motion, true));
  } catch (...) {
    RethrowAsFailure({});
  }
}

Matrix4x4 ReadMatrixFile(const std::string& path) {
  try {
    std::string text;
    if (!matrix::ReadMatrixFile(path, text)) text::ThrowCannotOpen(path);
    return ToPublic(matrix::ParseMatrixText(text, path));
  } catch (...) {
    RethrowAsFailure(path);
  }
}

void WriteMatrixFile(const std::string& path, const Matrix4x4& m) {
  try {
    matrix::WriteMatrixFile(path, FromPublic(m));
  } catch (...) {
    RethrowAsFailure(path);
  }
}

}  // namespace korvane
