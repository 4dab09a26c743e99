// Writes a report page for a generated mesh and a moved copy of it, measured
// with the library's three-point rule, for the browser tests and the page
// benchmark. The report object is consistent with the meshes; the "surface"
// residuals are approximated (the vertex-to-vertex distances when the
// topology is the same, the distance to the nearest moved vertex otherwise).
//
//   report_driver OUT.html [--json REPORT.json] [--vertices N] [--moved-vertices N]
//                 [--reshape] [--points] [--affine] [--max-triangles N]
//
// --affine stretches and mirrors the copy, and reports the known motion as an
// affine fit would (model "affine", the stretches and shear).
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "cli/mesh_generator.h"
#include "cli/report_page.h"
#include "geometry/affine.h"
#include "geometry/farthest.h"
#include "geometry/motion_parts.h"
#include "matrix/parts_json.h"
#include "platform/file_io.h"
#include "text/error.h"

namespace {

using korvane::geometry::Matrix4;
using korvane::geometry::Vector3;
using Triangles = std::vector<std::array<std::uint32_t, 3>>;

constexpr double kPi = 3.141592653589793238462643383279502884;

struct Mesh {
  std::vector<Vector3> vertices;
  Triangles triangles;
};

// The generated surface and its quads, split into triangles.
Mesh Generate(std::uint64_t vertices) {
  korvane::cli::MeshOptions o;
  o.vertices = vertices;
  o.normals = false;
  o.uvs = false;
  Mesh m;
  m.vertices = korvane::cli::SurfacePositions(o);
  const std::string obj = korvane::cli::SurfaceObj(o, korvane::geometry::IdentityMatrix4());
  std::vector<std::uint32_t> face;
  for (std::size_t at = 0; at < obj.size();) {
    std::size_t end = obj.find('\n', at);
    if (end == std::string::npos) end = obj.size();
    if (obj.compare(at, 2, "f ") == 0) {
      face.clear();
      for (const char* p = obj.data() + at + 1; p < obj.data() + end;) {
        while (p < obj.data() + end && *p == ' ') ++p;
        std::uint32_t index = 0;
        const auto r = std::from_chars(p, obj.data() + end, index);
        if (r.ec != std::errc()) break;
        face.push_back(index - 1);
        p = r.ptr;
        while (p < obj.data() + end && *p != ' ') ++p;
      }
      for (std::size_t k = 1; k + 1 < face.size(); ++k)
        m.triangles.push_back({face[0], face[k], face[k + 1]});
    }
    at = end + 1;
  }
  return m;
}

// Deterministic noise in [-1, 1).
double Noise(std::uint64_t i) {
  std::uint64_t x = i * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
  x ^= x >> 31;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 29;
  return static_cast<double>(x >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

struct Stats {
  double rms, median, p95, max;
};

Stats StatsOf(std::vector<double> r) {
  if (r.empty()) return {0, 0, 0, 0};
  double sum = 0.0;
  for (const double e : r) sum += e * e;
  std::sort(r.begin(), r.end());
  const auto rank = [&](double q) {
    const auto k = static_cast<std::size_t>(std::ceil(q * static_cast<double>(r.size())));
    return r[std::max<std::size_t>(k, 1) - 1];
  };
  return {std::sqrt(sum / static_cast<double>(r.size())), rank(0.5), rank(0.95), r.back()};
}

class Json {
 public:
  Json& Raw(const char* s) {
    text_ += s;
    return *this;
  }
  Json& Num(double v) {
    char b[32];
    const auto r = std::to_chars(b, b + sizeof b, v);
    text_.append(b, r.ptr);
    return *this;
  }
  Json& Str(const std::string& s) {
    text_ += '"';
    for (const char c : s) {
      if (c == '"' || c == '\\') text_ += '\\';
      text_ += c;
    }
    text_ += '"';
    return *this;
  }
  Json& Vec(const Vector3& v) {
    return Raw("[").Num(v.x()).Raw(",").Num(v.y()).Raw(",").Num(v.z()).Raw("]");
  }
  Json& StatsObject(const Stats& s, double size) {
    Raw("{\"rms\":").Num(s.rms).Raw(",\"median\":").Num(s.median).Raw(",\"p95\":").Num(s.p95);
    Raw(",\"max\":").Num(s.max).Raw(",\"relative\":{\"rms\":").Num(s.rms / size);
    Raw(",\"median\":").Num(s.median / size).Raw(",\"p95\":").Num(s.p95 / size);
    return Raw(",\"max\":").Num(s.max / size).Raw("}}");
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: report_driver OUT.html [--json REPORT.json] [--vertices N] "
               "[--moved-vertices N] [--reshape] [--points] [--affine] [--max-triangles N]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage();
  const std::string out_path = argv[1];
  std::string json_path;
  std::uint64_t vertices = 20000;
  std::uint64_t moved_count = 0;
  bool reshape = false;
  bool points = false;  // both meshes without triangles
  bool affine = false;
  std::size_t max_triangles = korvane::cli::ReportPageInput{}.max_triangles;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&] {
      if (i + 1 >= argc) Usage();
      return std::string(argv[++i]);
    };
    if (a == "--json") {
      json_path = value();
    } else if (a == "--vertices") {
      vertices = std::stoull(value());
    } else if (a == "--moved-vertices") {
      moved_count = std::stoull(value());
    } else if (a == "--reshape") {
      reshape = true;
    } else if (a == "--points") {
      points = true;
    } else if (a == "--affine") {
      affine = true;
    } else if (a == "--max-triangles") {
      max_triangles = std::stoull(value());
    } else {
      Usage();
    }
  }
  try {
    const Mesh base = Generate(vertices);
    const bool same = moved_count == 0 || moved_count == vertices;
    Mesh moved = same ? base : Generate(moved_count);
    const std::size_t nb = base.vertices.size();
    const std::size_t nm = moved.vertices.size();
    if (!same && nb * nm > 400000000ull) {
      std::fprintf(
          stderr,
          "report_driver: different topologies are compared by brute force; use smaller meshes\n");
      return 2;
    }

    // The known motion, then noise at the level of six stored decimals, and
    // optionally one region pushed outwards.
    Matrix4 motion = korvane::geometry::IdentityMatrix4();
    motion.translate(Vector3(0.4, -1.2, 2.5));
    motion.rotate(Eigen::AngleAxisd(35.0 * kPi / 180.0, Vector3(1, 2, 3).normalized()));
    motion.scale(1.25);
    if (affine) {
      // 1.2 along a turned axis, 0.85 across it, and x mirrored.
      const Eigen::Matrix3d axes =
          Eigen::AngleAxisd(0.6, Vector3(1, -1, 2).normalized()).toRotationMatrix();
      motion.linear() *= axes * Vector3(1.2, 0.85, 1.0).asDiagonal() * axes.transpose() *
                         Vector3(-1, 1, 1).asDiagonal();
    }
    for (std::size_t i = 0; i < nm; ++i) {
      Vector3 p = moved.vertices[i];
      if (reshape && p.z() > 0.3) p += p.normalized() * 0.3 * (p.z() - 0.3);
      p = korvane::geometry::TransformPoint(motion, p);
      moved.vertices[i] = p + 1e-6 * Vector3(Noise(3 * i), Noise(3 * i + 1), Noise(3 * i + 2));
    }

    // Measured as the library does: three reference vertices on each side.
    const korvane::geometry::ReferenceIndices rb =
        korvane::geometry::FarthestPointExhaustive(base.vertices);
    const korvane::geometry::ReferenceIndices rm =
        korvane::geometry::FarthestPointExhaustive(moved.vertices);
    const auto at = [](const std::vector<Vector3>& v, std::int32_t i) {
      return v[static_cast<std::size_t>(i)];
    };
    const korvane::geometry::AffineAnalysis fit = korvane::geometry::AnalyzeTriangles(
        {at(base.vertices, rb.a), at(base.vertices, rb.b), at(base.vertices, rb.c),
         at(moved.vertices, rm.a), at(moved.vertices, rm.b), at(moved.vertices, rm.c)});
    // An affine copy is reported as the affine fit finds it: the known motion.
    const Matrix4& m = affine ? motion : fit.matrix;

    korvane::cli::ReportPageInput in;
    in.max_triangles = max_triangles;
    in.base_vertices.reserve(nb);
    for (const Vector3& p : base.vertices)
      in.base_vertices.push_back(korvane::geometry::TransformPoint(m, p));
    in.base_residuals.resize(nb);
    for (std::size_t i = 0; i < nb; ++i) {
      if (same) {
        in.base_residuals[i] = (in.base_vertices[i] - moved.vertices[i]).norm();
      } else {
        double best = INFINITY;
        for (const Vector3& q : moved.vertices)
          best = std::min(best, (in.base_vertices[i] - q).squaredNorm());
        in.base_residuals[i] = std::sqrt(best);
      }
    }
    Vector3 lo = moved.vertices.empty() ? Vector3::Zero() : moved.vertices[0];
    Vector3 hi = lo;
    for (const Vector3& q : moved.vertices) {
      lo = lo.cwiseMin(q);
      hi = hi.cwiseMax(q);
    }
    const double size = (hi - lo).norm();
    const Stats stats = StatsOf(in.base_residuals);
    const double tolerance = 1e-5;
    const bool fits = stats.max / size <= tolerance;

    const korvane::geometry::MotionParts parts = korvane::geometry::DecomposeMotion(m);
    Json r;
    r.Raw(affine ? "{\"fit\":\"least-squares\",\"motion\":\"affine\""
                 : "{\"fit\":\"three-point\",\"motion\":\"similarity\"")
        .Raw(",\"topology\":")
        .Str(same ? "same" : "different")
        .Raw(",\"matrix\":[");
    for (int row = 0; row < 4; ++row) {
      r.Raw(row ? ",[" : "[");
      for (int col = 0; col < 4; ++col) (col ? r.Raw(",") : r).Num(m.matrix()(row, col));
      r.Raw("]");
    }
    r.Raw("],\"scale\":").Num(parts.scale).Raw(",\"rotation\":{\"axis\":").Vec(parts.axis);
    r.Raw(",\"degrees\":").Num(parts.angleDegrees).Raw("},\"translation\":").Vec(m.translation());
    r.Raw(",\"mirror\":").Raw(parts.mirror ? "true" : "false").Raw(",\"decomposition\":");
    r.Raw(korvane::matrix::DecompositionJson(parts).dump().c_str());
    r.Raw(",\"reference_vertices\":{\"base\":[").Num(rb.a).Raw(",").Num(rb.b).Raw(",").Num(rb.c);
    r.Raw("],\"moved\":[").Num(rm.a).Raw(",").Num(rm.b).Raw(",").Num(rm.c).Raw("]}");
    r.Raw(",\"residual\":{\"surface\":").StatsObject(stats, size).Raw(",\"paired\":");
    if (same) {
      r.StatsObject(stats, size);
    } else {
      r.Raw("null");
    }
    r.Raw("},\"tolerance\":")
        .Num(tolerance)
        .Raw(",\"size\":")
        .Num(size)
        .Raw(",\"fits\":")
        .Raw(fits ? "true" : "false")
        .Raw(",\"cause\":");
    if (fits) {
      r.Raw("null");
    } else if (reshape) {
      r.Str(
          "Part of the moved mesh was reshaped: it is not a turned, scaled and shifted copy of the "
          "base.");
    } else {
      r.Str(
          "The meshes have different vertices: the residuals include the spacing of the moved "
          "mesh's vertices.");
    }
    r.Raw(",\"message\":")
        .Str(fits ? "The base, carried by the matrix, lies on the moved mesh within the tolerance."
                  : "The base, carried by the matrix, does not lie on the moved mesh within the "
                    "tolerance.");
    r.Raw(",\"iterations\":0}");

    in.report_json = r.text();
    // Names a page must show as text, never as markup.
    in.base_name = "base <img src=x onerror=alert(1)>.obj";
    in.moved_name = "moved </script><script>alert(2)</script>.obj";
    if (!points) {
      in.base_triangles = base.triangles;
      in.moved_triangles = std::move(moved.triangles);
    }
    in.moved_vertices = std::move(moved.vertices);
    in.base_reference = {korvane::geometry::TransformPoint(m, at(base.vertices, rb.a)),
                         korvane::geometry::TransformPoint(m, at(base.vertices, rb.b)),
                         korvane::geometry::TransformPoint(m, at(base.vertices, rb.c))};
    in.moved_reference = {at(in.moved_vertices, rm.a), at(in.moved_vertices, rm.b),
                          at(in.moved_vertices, rm.c)};

    if (!json_path.empty()) korvane::platform::WriteFileAtomically(json_path, r.text() + "\n");
    const auto start = std::chrono::steady_clock::now();
    std::size_t bytes = 0;
    korvane::platform::AtomicOutput out(out_path);
    korvane::cli::WriteReportPage(in, [&](std::string_view piece) {
      out.Write(piece);
      bytes += piece.size();
    });
    out.Commit();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf(
        "%s: %zu bytes (base %zu vertices, %zu triangles; moved %zu, %zu), written in %.3f s\n",
        out_path.c_str(), bytes, nb, in.base_triangles.size(), nm, in.moved_triangles.size(),
        took.count());
    return 0;
  } catch (const korvane::Error& e) {
    std::string text;
    for (const auto& piece : e.message().pieces()) text += piece.bytes;
    std::fprintf(stderr, "report_driver: %s\n", text.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "report_driver: %s\n", e.what());
    return 1;
  }
}
