// Korvane for C++ pipelines (Linux, libKorvane.so; CMake: find_package(Korvane)
// and link Korvane::korvane): measure the similarity motion (turn, uniform
// scale, shift) between a mesh and its moved copy, replay a motion on OBJ
// meshes, read and write matrix files.
//
// Every function reports trouble by raising korvane::Failure and nothing else.
// Paths are passed to the C library as they are (bytes; UTF-8 on Linux).
// Functions may be called from several threads at once on different files.
#ifndef KORVANE_KORVANE_HPP
#define KORVANE_KORVANE_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvane/version.h"

#if defined(_WIN32) || !defined(__GNUC__)
#define KORVANE_CXX_API
#else
#define KORVANE_CXX_API __attribute__((visibility("default")))
#endif

namespace korvane {

// What went wrong, for callers that act on it rather than show it.
enum class ErrorKind {
  cannot_open,          // an input file is missing, unreadable, or not a regular file
  io,                   // reading or writing a file failed part way, or an output cannot be made
  invalid_number,       // a number that does not convert
  number_out_of_range,  // a number beyond the range of a double
  refused,              // input that cannot be measured or replayed (too few vertices, all on
                        // one line, not finite, a matrix that cannot be inverted)
  internal,             // anything else: out of memory, a fault of the library
};

// The one exception type: what() is a UTF-8 message that names the file and
// line where one is concerned; file(), line() and kind() give them apart.
class KORVANE_CXX_API Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message, std::string file = {}, std::uint64_t line = 0,
                   ErrorKind kind = ErrorKind::internal);
  ~Failure() override;
  const std::string& file() const noexcept;  // the file concerned; empty when none is known
  std::uint64_t line() const noexcept;       // its 1-based line; 0 when no line is concerned
  ErrorKind kind() const noexcept;

 private:
  std::string file_;
  std::uint64_t line_;
  ErrorKind kind_;
};

// "cannot_open", "io", "invalid_number", "number_out_of_range", "refused" or "internal".
KORVANE_CXX_API const char* ErrorKindName(ErrorKind kind) noexcept;

// A 4x4 matrix, row by row: a point p moves to (M * (p, 1)).xyz.
using Matrix4x4 = std::array<std::array<double, 4>, 4>;
using Vec3 = std::array<double, 3>;

// Which motions fit.
enum class Motion {
  rigid,       // a turn and a shift: the scale exactly 1
  similarity,  // a turn, a uniform scale and a shift
  affine,      // any linear map and a shift (a stretched copy); not the three-point fit
};

// How the motion is fitted to the two meshes.
enum class Fit {
  automatic,      // three-point when it fits (CalcMatrix's matrix bit for bit), else least
                  // squares when the counts are equal and it fits, else ICP
  three_point,    // three reference vertices of each mesh carry the motion (CalcMatrix's rule)
  least_squares,  // equal vertex counts, vertex i paired with vertex i (Umeyama)
  icp,            // any counts, any order: iterative closest point with uniform scale
};

// Zero or negative values stand for the library's own defaults (the README lists them).
struct MeasureOptions {
  Fit fit = Fit::automatic;
  double tolerance = 0.0;  // fits when 95% of the base vertices land this close (of the size)
  double trim = -1.0;      // worst fraction of pairs left out, in [0, 0.5]
  // Set from the copy's roughness (a scan, a remesh, noise) instead of `tolerance`.
  bool auto_tolerance = false;
  // Set from the overlap the fit finds (a partial copy) instead of `trim`.
  bool auto_trim = false;
  int max_iterations = 0;  // ICP iterations at most
  unsigned threads = 0;    // one per processor
  Motion motion = Motion::similarity;
  bool allow_mirror = false;  // a mirror image fits too (MotionReport::mirror)
};

// "rigid", "similarity" or "affine"; MotionByName gives false for another name.
KORVANE_CXX_API const char* MotionName(Motion motion) noexcept;
KORVANE_CXX_API bool MotionByName(const std::string& name, Motion& motion) noexcept;
// What the model allows, in one line for a menu or a help text.
KORVANE_CXX_API const char* MotionDescription(Motion motion) noexcept;
// Every model, in the order hosts list them.
KORVANE_CXX_API std::vector<Motion> Motions();

// "auto", "three-point", "least-squares" or "icp"; FitByName gives false for another name.
KORVANE_CXX_API const char* FitName(Fit fit) noexcept;
KORVANE_CXX_API bool FitByName(const std::string& name, Fit& fit) noexcept;
// What the fit does, in one line for a menu or a help text.
KORVANE_CXX_API const char* FitDescription(Fit fit) noexcept;
// Every fit, in the order hosts list them (Fit::automatic first).
KORVANE_CXX_API std::vector<Fit> Fits();

// The numbers MeasureOptions' zeros stand for, and the limits it is checked against.
struct FitDefaults {
  double tolerance = 0.0;  // relative to the moved mesh's bounding-box diagonal
  double icp_trim = 0.0;   // ICP's trim; least squares trims none
  double most_trim = 0.0;  // a trim is from 0 to this
  int max_iterations = 0;  // ICP's iteration limit
};
KORVANE_CXX_API FitDefaults Defaults() noexcept;

// Any motion taken apart: matrix = Translation(translation) * Rotation(axis, degrees) * Stretch,
// Stretch = the sum of stretches[i] * stretch_axes[i] * stretch_axes[i]^T (the largest first);
// `scale` is their mean, so a similarity is Translation * Rotation * Scale(scale). A mirroring
// matrix has every stretch negative, and the scale. Read instead as Turn * Scale along x, y, z *
// Shear, the shear moves x by xy * y + xz * z and y by yz * z (zeros: x, y, z stay at right
// angles). The report's decomposition.
struct MotionParts {
  double scale = 1.0;
  Vec3 rotation_axis{1.0, 0.0, 0.0};  // unit length; (1, 0, 0) when there is no turn
  double rotation_degrees = 0.0;      // 0 to 180
  Vec3 translation{};
  std::string kind = "rigid";  // "rigid", "similarity" or "affine", to rounding (1e-9)
  bool mirror = false;         // the determinant is negative
  Vec3 stretches{1.0, 1.0, 1.0};
  std::array<Vec3, 3> stretch_axes{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};  // unit
  Vec3 shear{};  // xy, xz, yz; zero for a similarity
};
// Refuses (korvane::Error) what a matrix file may not hold: not finite, projective, singular.
KORVANE_CXX_API MotionParts Decompose(const Matrix4x4& motion);

// Distances of the base vertices, carried by the motion, from the moved mesh.
struct Residual {
  std::size_t count = 0;  // 0: not measured (paired distances need equal vertex counts)
  double rms = 0.0, median = 0.0, p95 = 0.0, max = 0.0;
  // The same, divided by the moved mesh's bounding-box diagonal.
  double rms_relative = 0.0, median_relative = 0.0, p95_relative = 0.0, max_relative = 0.0;
};

struct ReferenceVertex {
  std::size_t index = 0;  // 0-based position among the mesh's "v" lines
  Vec3 position{};
};

// What measuring found. matrix = Translation(translation) * Rotation(axis, angle) * Scale(scale).
struct MotionReport {
  Matrix4x4 matrix{};
  double scale = 0.0;
  Vec3 rotation_axis{};           // unit length; (1, 0, 0) when there is no turn
  double rotation_degrees = 0.0;  // 0 to 180
  Vec3 translation{};
  bool same_topology = false;  // equal vertex counts: vertex i of one is vertex i of the other
  std::size_t base_vertices = 0;
  std::size_t moved_vertices = 0;
  bool has_reference = false;  // the three-point rule found the reference vertices below
  std::array<ReferenceVertex, 3> base_reference{};   // A, B, C of the base mesh
  std::array<ReferenceVertex, 3> moved_reference{};  // and of the moved mesh
  Residual surface;         // to the moved mesh's surface (its nearest vertex without faces)
  bool to_surface = false;  // the moved mesh has faces
  Residual paired;          // |M v_i - w_i|, for equal vertex counts
  // The moved mesh's points (up to 50,000 of its vertices) onto the moved base: its surface when
  // it has faces, else its vertices. count 0: not measured (the base misses, or the pairs fit).
  Residual reverse;
  bool fits = false;       // the judged 95th percentile within tolerance, no mirror, no shrinking
  bool ambiguous = false;  // it fits, but so do other motions (a symmetric mesh)
  bool loose = false;  // ambiguous because a thin or flat part leaves an affine motion free: the
                       // last alternative is such a stretch or shear, not a turn
  std::vector<Matrix4x4> alternatives;  // those other motions
  double overlap = 0.0;                 // share of base vertices within tolerance of the moved mesh
  std::size_t outliers = 0;             // base vertices farther than the tolerance
  double largest_outlier = 0.0;         // the farthest of them
  std::string cause;                    // when it does not fit: why; empty otherwise
  std::string note;     // when it fits: what is left to say (another vertex order, outliers)
  std::string message;  // the verdict as a sentence
  std::string json;     // the whole report as `korvane calc --json` prints it
  int iterations = 0;   // ICP iterations
  Fit fit_used = Fit::three_point;  // with Fit::automatic: the fit whose motion this is
  std::vector<Fit> tried;           // with Fit::automatic: the fits tried before it, in order
  double tolerance = 0.0;           // the tolerance the verdict was judged with
  bool tolerance_auto = false;      // it was set from the roughness (auto_tolerance)
  bool trim_auto = false;           // the trim was set from the overlap (auto_trim)
  // The moved mesh's own roughness: median spacing of its points and their
  // noise off a smooth surface, relative to `size` (0 for too few points to say).
  double roughness_spacing = 0.0;
  double roughness_noise = 0.0;
  double size = 0.0;                     // the moved mesh's bounding-box diagonal
  double judged_share = 1.0;             // share of base vertices judged (1 - trim, with a trim)
  double outlier_share = 0.0;            // outliers / base vertices
  bool iteration_limit_reached = false;  // ICP stopped at max_iterations before it settled
  Motion motion = Motion::similarity;    // the model measured in
  bool mirror = false;  // the motion is a mirror image (MeasureOptions::allow_mirror)
  // The matrix taken apart as Decompose does it; the JSON's "decomposition" is null
  // unless its kind is "affine".
  MotionParts decomposition;
};

// The top-level keys of MotionReport::json, in order: every host shows the same report.
KORVANE_CXX_API std::vector<std::string> ReportKeys();

// How a replay writes; the defaults write what the exported ApplyMatrix writes.
struct ReplayOptions {
  static constexpr int kShortest = -1;
  static constexpr int kAsInput = -2;
  int digits = kAsInput;   // decimals of the written coordinates (0 to 17), or kShortest: the
                           // fewest that read back as the same double (then apply and inverse
                           // bring every vertex back within a rounding); kAsInput: OBJ with six
                           // decimals, ASCII STL and PLY with the digits the input's numbers
                           // carry (binary files keep their own types whatever is chosen)
  bool normals = false;    // turn "vn" lines (inverse transpose, unit length); under a mirroring
                           // motion list each face's corners the other way round
  bool strict = false;     // a warning fails the replay, and nothing is written
  bool gltfNodes = false;  // glTF: the motion into the default scene's root nodes instead of the
                           // vertex data (no buffer changes; a mesh that nodes share can move)
  bool force = false;      // replace a read-only output (otherwise refused, as CheckOutput says)
};

// Something a replay may have got wrong, counted over the file.
struct ReplayWarning {
  std::string kind;  // "not_a_vertex_line", "trailing_text", "non_finite", "carriage_return",
                     // "normals_not_turned" or "precision"
  std::uint64_t count = 0;
  std::string file;
  std::uint64_t line = 0;  // where it first happened (precision: the worst vertex)
  std::string message;     // what it means and what to do, in a sentence
};

struct ReplayReport {
  std::uint64_t vertices = 0;  // vertex lines moved
  std::vector<ReplayWarning> warnings;
};

// Measures the motion that carries the mesh in base_obj onto its moved copy in
// moved_obj by options.fit, and how well it fits. Each file may be OBJ, STL (corners at equal
// positions welded, numbered in order of appearance), PLY or glTF, told by its content. Fails for a
// file that cannot be read, a bad number, or meshes that cannot be measured (fewer than three
// vertices, all on one line, least squares between unequal counts).
KORVANE_CXX_API MotionReport MeasureMotion(const std::string& base_obj,
                                           const std::string& moved_obj,
                                           const MeasureOptions& options = {});

// A mesh held by the caller: `vertices` points x, y, z (doubles) after one another,
// `triangles` (may be null) three 0-based vertex numbers after one another.
struct MeshView {
  const double* xyz = nullptr;
  std::size_t vertices = 0;
  const std::uint32_t* triangles = nullptr;
  std::size_t triangle_count = 0;
};

// MeasureMotion on meshes in memory: the same fits, numbers and failures (with
// no file named). Without triangles the moved mesh is measured against its vertices.
// The base's triangles are for ICP, which matches triangles of the same shape first
// (as it does with files); a triangle naming a vertex that does not exist fails.
KORVANE_CXX_API MotionReport MeasureMotion(const MeshView& base, const MeshView& moved,
                                           const MeasureOptions& options = {});

// out[i] = motion * (xyz[i], 1) for `count` points of three doubles each, on up to
// `threads` threads (0: one per processor). out may be xyz itself; other overlaps are not allowed.
// Fails for a motion LoadMotion would refuse (not finite, a bottom row other than 0 0 0 1,
// singular, a scale outside 1e-100 to 1e100).
KORVANE_CXX_API void TransformPoints(const Matrix4x4& motion, const double* xyz, double* out,
                                     std::size_t count, unsigned threads = 0);

// Writes input_obj moved by `motion` to output_obj in the input's own format (OBJ, STL, PLY,
// glTF, told by the content; another format's extension on output_obj is refused). OBJ: vertex
// lines rewritten with six decimals (options.digits), every other line token for token; STL and
// PLY: positions and normals rewritten, every other byte kept. output_obj is replaced only when
// complete. Reports the warnings; fails for a file that cannot be read or written, a bad
// number, a motion LoadMotion would refuse, an output CheckOutput refuses (input_obj read),
// and with options.strict for any warning.
KORVANE_CXX_API ReplayReport ReplayMotion(const Matrix4x4& motion, const std::string& input_obj,
                                          const std::string& output_obj,
                                          const ReplayOptions& options = {});

// The same from a stream to a stream, OBJ only: other mesh formats are refused (read to its end;
// lines end in "\n"); source_name names the input in failures. Memory grows with the longest line
// only. options.strict fails at the end, when the output has been written.
KORVANE_CXX_API ReplayReport ReplayMotion(const Matrix4x4& motion, std::istream& input,
                                          std::ostream& output,
                                          const std::string& source_name = "input",
                                          const ReplayOptions& options = {});

// The motion that undoes `motion`; fails for a motion LoadMotion would refuse.
KORVANE_CXX_API Matrix4x4 InverseMotion(const Matrix4x4& motion);

// The motion a matrix file holds, as `korvane apply` reads it: fails, naming the file and line,
// unless it is four lines of four finite numbers separated by spaces (blank lines may follow), the
// bottom row 0 0 0 1, the turn and scale part not singular and its scale (the cube root of its
// determinant) from 1e-100 to 1e100; with `inverse` (the motion that
// undoes it), also when it cannot be inverted.
KORVANE_CXX_API Matrix4x4 LoadMotion(const std::string& path, bool inverse = false);

// Reads a matrix file with LoadMotion's rules.
KORVANE_CXX_API Matrix4x4 ReadMatrixFile(const std::string& path);

// Writes a matrix file, replacing `path` only when complete; fails for a matrix LoadMotion would
// refuse and for a path CheckOutput refuses.
KORVANE_CXX_API void WriteMatrixFile(const std::string& path, const Matrix4x4& matrix,
                                     bool force = false);

// The checks every korvane host makes before it writes `output`: fails (kind refused, nothing
// written) when it is the same file as one of `reads` or names a loop of symbolic links, and
// when it is a read-only file unless `force` (which makes it replaceable). A symbolic
// link is otherwise written through, and a replaced file keeps its permission bits.
KORVANE_CXX_API void CheckOutput(const std::string& output, const std::vector<std::string>& reads,
                                 bool force = false);

}  // namespace korvane

#endif
