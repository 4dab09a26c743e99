// The C++ interface of libKorvane.so (korvane/korvane.hpp): the rooms below
// driven directly, without the commands' message boxes and fixed file names.
// Every error leaves as korvane::Failure.
#include <algorithm>
#include <cmath>
#include <functional>
#include <istream>
#include <iterator>
#include <ostream>
#include <utility>
#include <vector>

#include "api/replay_warnings.h"
#include "api/streaming.h"
#include "geometry/fit.h"
#include "korvane/korvane.hpp"
#include "matrix/fit_report.h"
#include "matrix/matrix_file.h"
#include "matrix/motion.h"
#include "matrix/verdict.h"
#include "obj/mesh_format.h"
#include "obj/obj_mesh.h"
#include "obj/obj_stream.h"
#include "platform/output_rules.h"
#include "platform/platform.h"
#include "platform/workers.h"
#include "text/catalogue.h"
#include "text/error.h"
#include "text/format_words.h"

namespace korvane {

Failure::Failure(const std::string& message, std::string file, std::uint64_t line, ErrorKind kind)
    : std::runtime_error(message), file_(std::move(file)), line_(line), kind_(kind) {}
Failure::~Failure() = default;
const std::string& Failure::file() const noexcept { return file_; }
std::uint64_t Failure::line() const noexcept { return line_; }
ErrorKind Failure::kind() const noexcept { return kind_; }

const char* ErrorKindName(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::cannot_open:
      return "cannot_open";
    case ErrorKind::io:
      return "io";
    case ErrorKind::invalid_number:
      return "invalid_number";
    case ErrorKind::number_out_of_range:
      return "number_out_of_range";
    case ErrorKind::refused:
      return "refused";
    case ErrorKind::internal:
      return "internal";
  }
  return "internal";
}

namespace {

// The public fit for each of the library's, in the order of geometry::kFitKinds.
constexpr Fit kPublicFits[] = {Fit::automatic, Fit::three_point, Fit::least_squares, Fit::icp};
static_assert(std::size(kPublicFits) == std::size(geometry::kFitKinds));

geometry::FitKind ToInternal(Fit fit) {
  for (std::size_t k = 0; k < std::size(kPublicFits); ++k) {
    if (kPublicFits[k] == fit) return geometry::kFitKinds[k];
  }
  return geometry::FitKind::automatic;
}

// Both lists in the same order.
constexpr Motion kPublicMotions[] = {Motion::rigid, Motion::similarity, Motion::affine};
static_assert(std::size(kPublicMotions) == std::size(geometry::kMotionModels));

geometry::MotionModel ToInternal(Motion m) {
  for (std::size_t k = 0; k < std::size(kPublicMotions); ++k) {
    if (kPublicMotions[k] == m) return geometry::kMotionModels[k];
  }
  return geometry::MotionModel::similarity;
}

Motion ToPublic(geometry::MotionModel m) {
  for (std::size_t k = 0; k < std::size(kPublicMotions); ++k) {
    if (geometry::kMotionModels[k] == m) return kPublicMotions[k];
  }
  return Motion::similarity;
}

Fit ToPublic(geometry::FitKind kind) {
  for (std::size_t k = 0; k < std::size(kPublicFits); ++k) {
    if (geometry::kFitKinds[k] == kind) return kPublicFits[k];
  }
  return Fit::automatic;
}

ErrorKind ToPublic(Error::Kind kind) {
  switch (kind) {
    case Error::Kind::cannot_open:
      return ErrorKind::cannot_open;
    case Error::Kind::io:
      return ErrorKind::io;
    case Error::Kind::invalid_number:
      return ErrorKind::invalid_number;
    case Error::Kind::number_out_of_range:
      return ErrorKind::number_out_of_range;
    case Error::Kind::refused:
      return ErrorKind::refused;
    case Error::Kind::misuse:
    case Error::Kind::usage:
      break;
  }
  return ErrorKind::internal;
}

// Turns whatever is being handled into a Failure; `file` stands in when the
// error itself names no place. Call it inside a catch block.
[[noreturn]] void RethrowAsFailure(const std::string& file) {
  try {
    throw;
  } catch (const Failure&) {
    throw;  // already one
  } catch (...) {
  }
  const text::CurrentException c = text::ClassifyCurrentException(true);
  const bool placed = !c.file.empty();
  throw Failure(platform::ToUtf8(c.message), placed ? c.file : file, placed ? c.line : 0,
                c.kind ? ToPublic(*c.kind) : ErrorKind::internal);
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

// A motion given as numbers is held to the rules a matrix file is read by.
geometry::Matrix4 CheckedMotion(const Matrix4x4& m, bool inverse) {
  const geometry::Matrix4 motion = FromPublic(m);
  matrix::CheckMotionShape(motion, {});
  return matrix::CheckedMotion(motion, {}, inverse);
}

// The rules of every host before it writes `output`; `reads` are the files it reads.
void CheckOutputAgainst(const std::string& output, const std::vector<std::string>& reads,
                        bool force, const std::string& read_as = {}) {
  std::vector<platform::NamedPath> inputs;
  for (const std::string& r : reads) inputs.push_back({read_as, r});
  platform::CheckOutputs(inputs, {{{}, output}}, force, "force", Error::Kind::refused);
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

namespace {

geometry::FitOptions ToInternal(const MeasureOptions& options) {
  geometry::FitOptions o;  // its defaults stand where the caller left a field at 0
  o.kind = ToInternal(options.fit);
  if (options.tolerance > 0.0 || std::isnan(options.tolerance)) o.tolerance = options.tolerance;
  if (options.trim >= 0.0 || std::isnan(options.trim)) o.trim = options.trim;
  o.autoTolerance = options.auto_tolerance;
  o.autoTrim = options.auto_trim;
  if (options.max_iterations > 0) o.maxIterations = options.max_iterations;
  o.threads = options.threads;
  o.motion = ToInternal(options.motion);
  o.allowMirror = options.allow_mirror;
  return o;
}

MotionParts ToPublic(const geometry::MotionParts& p) {
  MotionParts out;
  out.scale = p.scale;
  out.rotation_axis = ToVec3(p.axis);
  out.rotation_degrees = p.angleDegrees;
  out.translation = ToVec3(p.translation);
  out.kind = geometry::MotionKindName(p.kind);
  out.mirror = p.mirror;
  out.stretches = ToVec3(p.stretches);
  for (int i = 0; i < 3; ++i) out.stretch_axes[static_cast<std::size_t>(i)] = ToVec3(p.axes.col(i));
  out.shear = ToVec3(p.shear);
  return out;
}

MotionReport Report(const matrix::FitReport& f, const obj::Mesh& base, const obj::Mesh& moved) {
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
  r.reverse = ToResidual(f.result.residuals.reverse);
  r.fits = f.result.fits;
  r.ambiguous = f.result.ambiguous;
  r.loose = f.result.loose;
  for (const geometry::Alternative& a : f.result.alternatives)
    r.alternatives.push_back(ToPublic(a.matrix));
  r.overlap = f.result.overlap;
  r.outliers = f.result.outliers;
  r.largest_outlier = f.result.largestOutlier;
  r.message = platform::ToUtf8(matrix::VerdictMessage(f, matrix::kLibraryHints));
  r.note = platform::ToUtf8(matrix::NoteMessage(f));
  r.json = matrix::FitReportJson(f, matrix::kLibraryHints);
  if (const char* cause = matrix::CauseName(f); cause != nullptr) r.cause = cause;
  r.iterations = f.result.iterations;
  r.fit_used = ToPublic(f.kind);
  for (const geometry::FitKind k : f.result.tried) r.tried.push_back(ToPublic(k));
  r.tolerance = f.tolerance;
  r.size = f.result.residuals.surface.length;
  r.tolerance_auto = f.result.toleranceAuto;
  r.trim_auto = f.result.trimAuto;
  if (r.size > 0.0) {
    r.roughness_spacing = f.result.roughness.spacing / r.size;
    r.roughness_noise = f.result.roughness.noise / r.size;
  }
  r.judged_share = f.result.judgedShare;
  r.outlier_share = matrix::OutlierShare(f.result);
  r.iteration_limit_reached = f.result.hitIterationLimit;
  r.motion = ToPublic(f.motion);
  r.mirror = f.result.mirror;
  r.decomposition = ToPublic(f.parts);
  return r;
}

obj::Mesh FromView(const MeshView& view) {
  obj::Mesh m;
  m.vertices.resize(view.vertices);
  for (std::size_t i = 0; i < view.vertices; ++i)
    m.vertices[i] = {view.xyz[3 * i], view.xyz[3 * i + 1], view.xyz[3 * i + 2]};
  m.triangles.resize(view.triangle_count);
  for (std::size_t t = 0; t < view.triangle_count; ++t) {
    const std::uint32_t* c = view.triangles + 3 * t;
    m.triangles[t] = {c[0], c[1], c[2]};
  }
  return m;
}

}  // namespace

const char* FitName(Fit fit) noexcept { return geometry::FitName(ToInternal(fit)); }

const char* FitDescription(Fit fit) noexcept { return geometry::FitDescription(ToInternal(fit)); }

std::vector<Fit> Fits() {
  std::vector<Fit> out;
  for (const geometry::FitKind k : geometry::kFitKinds) out.push_back(ToPublic(k));
  return out;
}

FitDefaults Defaults() noexcept {
  FitDefaults d;
  d.tolerance = geometry::kDefaultTolerance;
  d.icp_trim = geometry::kDefaultIcpTrim;
  d.most_trim = geometry::kMostTrim;
  d.max_iterations = geometry::kDefaultMaxIterations;
  return d;
}

MotionParts Decompose(const Matrix4x4& motion) {
  // A singular or projective matrix has no stretches or shear to give (NaN).
  try {
    const geometry::Matrix4 m = FromPublic(motion);
    matrix::CheckMotionShape(m, {});
    return ToPublic(geometry::DecomposeMotion(m));
  } catch (...) {
    RethrowAsFailure({});
  }
}

std::vector<std::string> ReportKeys() {
  return std::vector<std::string>(std::begin(matrix::kReportKeys), std::end(matrix::kReportKeys));
}

const char* MotionName(Motion motion) noexcept { return geometry::MotionName(ToInternal(motion)); }

const char* MotionDescription(Motion motion) noexcept {
  return geometry::MotionDescription(ToInternal(motion));
}

std::vector<Motion> Motions() {
  std::vector<Motion> out;
  for (const geometry::MotionModel m : geometry::kMotionModels) out.push_back(ToPublic(m));
  return out;
}

bool MotionByName(const std::string& name, Motion& motion) noexcept {
  const std::optional<geometry::MotionModel> m = geometry::MotionByName(name);
  if (m) motion = ToPublic(*m);
  return m.has_value();
}

bool FitByName(const std::string& name, Fit& fit) noexcept {
  const std::optional<geometry::FitKind> kind = geometry::FitByName(name);
  if (kind) fit = ToPublic(*kind);
  return kind.has_value();
}

MotionReport MeasureMotion(const std::string& base_obj, const std::string& moved_obj,
                           const MeasureOptions& options) {
  std::string current = base_obj;  // named by failures that name no file themselves
  try {
    const obj::StreamOptions stream = api::StreamingOptions(options.threads);
    // Only the moved mesh's faces are measured against; the base's are read
    // by the fit if ICP runs.
    obj::Mesh base;
    obj::ReadMesh(base_obj, base, false, stream);
    current = moved_obj;
    obj::Mesh moved;
    obj::ReadMesh(moved_obj, moved, true, stream);
    current.clear();
    return Report(matrix::MeasureFit(base, moved, ToInternal(options), base_obj), base, moved);
  } catch (...) {
    RethrowAsFailure(current);
  }
}

MotionReport MeasureMotion(const MeshView& base, const MeshView& moved,
                           const MeasureOptions& options) {
  try {
    const obj::Mesh b = FromView(base);
    const obj::Mesh m = FromView(moved);
    return Report(matrix::MeasureFit(b, m, ToInternal(options)), b, m);
  } catch (...) {
    RethrowAsFailure({});
  }
}

void TransformPoints(const Matrix4x4& motion, const double* xyz, double* out, std::size_t count,
                     unsigned threads) {
  try {
    const geometry::Matrix4 m = CheckedMotion(motion, false);
    platform::ParallelRanges(count, threads, [&](std::size_t begin, std::size_t end) {
      const Eigen::Matrix3d l = m.linear();
      const Eigen::Vector3d t = m.translation();
      for (std::size_t i = begin; i < end; ++i) {
        const Eigen::Vector3d p(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]);
        const Eigen::Vector3d q = l * p + t;
        out[3 * i] = q.x();
        out[3 * i + 1] = q.y();
        out[3 * i + 2] = q.z();
      }
    });
  } catch (...) {
    RethrowAsFailure({});
  }
}

namespace {

obj::ReplayStyle StyleOf(const ReplayOptions& o) {
  if (o.digits < ReplayOptions::kAsInput || o.digits > 17) {
    throw Error(
        Error::Kind::refused,
        text::Message().Own("digits must be 0 to 17, ReplayOptions::kShortest or kAsInput; not " +
                            std::to_string(o.digits)));
  }
  obj::ReplayStyle style;
  style.digitsChosen = o.digits != ReplayOptions::kAsInput;
  style.digits = style.digitsChosen ? o.digits : 6;
  style.normals = o.normals;
  style.sceneNodes = o.gltfNodes;
  style.check = true;
  return style;
}

ReplayReport ToReport(const obj::ReplayCounts& c, const obj::ReplayStyle& style,
                      const std::string& file) {
  ReplayReport r;
  r.vertices = c.vertices;
  api::ForEachReplayWarning(c, [&](obj::ReplayWarningKind kind, const obj::ReplayWarning& w) {
    r.warnings.push_back(
        {obj::ReplayWarningName(kind), w.count, file, w.line,
         platform::ToUtf8(api::ReplayWarningMessage(kind, c, style, api::kLibraryReplayHints))});
  });
  return r;
}

// With ReplayOptions::strict: the warning first in the file, as an error.
void Vet(const obj::ReplayCounts& c, const obj::ReplayStyle& style, const std::string& file,
         bool written) {
  api::RefuseFirstReplayWarning(
      c, style, api::kLibraryReplayHints, file,
      written ? "; the replay is strict" : "; nothing was written (the replay is strict)");
}

}  // namespace

ReplayReport ReplayMotion(const Matrix4x4& motion, const std::string& input_obj,
                          const std::string& output_obj, const ReplayOptions& options) {
  try {
    // Replaced while it is being read, the input would be lost on any failure.
    CheckOutputAgainst(output_obj, {input_obj}, options.force, "the input");
    const obj::ReplayStyle style = StyleOf(options);
    obj::ReplayCounts counts;
    std::function<void(const obj::ReplayCounts&)> vet;
    if (options.strict) vet = [&](const obj::ReplayCounts& c) { Vet(c, style, input_obj, false); };
    obj::ReplayMeshFile(input_obj, output_obj, CheckedMotion(motion, false),
                        api::StreamingOptions(0), &counts, style, vet);
    return ToReport(counts, style, input_obj);
  } catch (...) {
    RethrowAsFailure({});
  }
}

ReplayReport ReplayMotion(const Matrix4x4& motion, std::istream& input, std::ostream& output,
                          const std::string& source_name, const ReplayOptions& options) {
  try {
    const geometry::Matrix4 m = CheckedMotion(motion, false);
    const obj::ReplayStyle style = StyleOf(options);
    obj::ReplayCounts counts;
    // Runs of whole lines go through the in-memory replay, numbered on from
    // the lines before them; the text after the last line feed is the last line.
    std::vector<char> buffer(std::size_t{1} << 20);
    std::size_t held = 0;
    std::uint64_t next_line = 1;
    bool detected = false;
    for (;;) {
      if (held == buffer.size()) buffer.resize(buffer.size() * 2);
      input.read(buffer.data() + held, static_cast<std::streamsize>(buffer.size() - held));
      const auto got = static_cast<std::size_t>(input.gcount());
      if (input.bad())
        throw Error(Error::Kind::io, text::Message().Say(text::kCannotRead).Host(source_name),
                    source_name);
      held += got;
      const bool end = got == 0;
      if (!detected) {
        if (held < obj::kDetectBytes && !end) continue;
        detected = true;
        // Only OBJ streams: another mesh format is never rewritten as if it were OBJ.
        const obj::DetectedFormat f = obj::DetectMeshFormat(
            std::string_view(buffer.data(), std::min(held, obj::kDetectBytes)), 0, source_name);
        if (f.format != obj::MeshFormat::obj) {
          throw Error(
              Error::Kind::refused,
              text::Message()
                  .Host(source_name)
                  .Say(text::kStreamHolds)
                  .Say(f.format == obj::MeshFormat::unknown ? f.looksLike
                                                            : obj::MeshFormatWords(f.format))
                  .Say(text::kStreamObjOnly),
              source_name);
        }
      }
      std::size_t cut = held;
      if (!end) {
        while (cut > 0 && buffer[cut - 1] != '\n') --cut;
        if (cut == 0) continue;  // a line longer than the buffer: read on
      }
      std::string_view run(buffer.data(), end ? held : cut - 1);
      const auto lines = 1 + static_cast<std::uint64_t>(std::count(run.begin(), run.end(), '\n'));
      // The line feed that ends the run is cut off with it; so is the carriage return before it.
      if (!end && !run.empty() && run.back() == '\r') run.remove_suffix(1);
      const std::string out =
          obj::TransformObjText(run, m, platform::kNewline, source_name, next_line, &counts, style);
      output.write(out.data(), static_cast<std::streamsize>(out.size()));
      if (!output)
        throw Error(Error::Kind::io,
                    text::Message().Own("cannot write the output of ").Host(source_name));
      next_line += lines;
      if (end) {
        if (options.strict) Vet(counts, style, source_name, true);
        return ToReport(counts, style, source_name);
      }
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

Matrix4x4 LoadMotion(const std::string& path, bool inverse) {
  try {
    return ToPublic(matrix::LoadMotionStrict(path, inverse));
  } catch (...) {
    RethrowAsFailure(path);
  }
}

Matrix4x4 ReadMatrixFile(const std::string& path) {
  try {
    const geometry::Matrix4 m = matrix::ReadMatrixFileStrict(path);
    matrix::CheckMotionShape(m, path);
    return ToPublic(m);
  } catch (...) {
    RethrowAsFailure(path);
  }
}

void CheckOutput(const std::string& output, const std::vector<std::string>& reads, bool force) {
  try {
    CheckOutputAgainst(output, reads, force);
  } catch (...) {
    RethrowAsFailure(output);
  }
}

void WriteMatrixFile(const std::string& path, const Matrix4x4& m, bool force) {
  try {
    // Nothing is written that LoadMotion would refuse.
    CheckedMotion(m, false);
    CheckOutputAgainst(path, {}, force);
    matrix::WriteMatrixFile(path, FromPublic(m));
  } catch (...) {
    RethrowAsFailure(path);
  }
}

}  // namespace korvane
