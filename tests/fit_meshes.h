// Meshes for the fitting tests and benchmarks: generated surfaces read back
// through the OBJ face reader, and the ways a re-export changes a moved copy
// (rounding, noise, removed vertices, split triangles, shuffled order).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <numeric>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/mesh_generator.h"
#include "geometry/spatial.h"
#include "obj/obj_face.h"
#include "obj/obj_line.h"
#include "obj/obj_mesh.h"
#include "obj/obj_stream.h"
#include "split_mix.h"
#include "text/lines.h"
#include "text/numbers.h"

namespace korvane::testing {

using geometry::Matrix4;
using geometry::TransformPoint;
using geometry::Vector3;

using obj::Mesh;

// A mesh from OBJ text in memory (the generator's output).
inline Mesh MeshFromObjText(std::string_view text) {
  Mesh mesh;
  obj::FaceCollector faces(mesh.triangles);
  std::vector<std::string_view> tokens;
  text::ForEachTextLine(text, [&](std::string_view line, std::uint64_t) {
    tokens.clear();
    text::ForEachToken(line, [&](std::string_view t) { tokens.push_back(t); });
    if (!tokens.empty() && tokens[0] == "v") {
      mesh.vertices.push_back(obj::ReadVertex(tokens.data() + 1, tokens.size() - 1).position);
    }
    faces.Line(line);
  });
  return mesh;
}

// The generator's bumpy closed surface, its quads split into triangles.
inline Mesh GeneratedMesh(std::uint64_t vertices, std::uint64_t seed) {
  cli::MeshOptions o;
  o.vertices = vertices;
  o.seed = seed;
  Matrix4 identity = Matrix4::Identity();
  return MeshFromObjText(cli::SurfaceObj(o, identity));
}

// What writing a coordinate to an OBJ file with six decimals and reading it back gives.
inline double Round6(double x) {
  char buf[text::kMaxFixedChars];
  const char* end = text::FormatFixed6(buf, x);
  return text::ParseDouble(std::string_view(buf, static_cast<std::size_t>(end - buf))).value;
}

inline std::vector<Vector3> MovedRounded(const std::vector<Vector3>& v, const Matrix4& m) {
  std::vector<Vector3> out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    const Vector3 p = TransformPoint(m, v[i]);
    out[i] = Vector3(Round6(p.x()), Round6(p.y()), Round6(p.z()));
  }
  return out;
}

inline double Diagonal(const std::vector<Vector3>& v) {
  Eigen::AlignedBox3d box;
  for (const Vector3& p : v) box.extend(p);
  return box.diagonal().norm();
}

inline Vector3 RandomUnit(SplitMix& rng) {
  for (;;) {
    const Vector3 p(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
    const double n = p.norm();
    if (n > 1e-3 && n <= 1.0) return p / n;
  }
}

// Any rotation, scale from 1/4 to 4, translation up to 50 sizes of the
// unmoved mesh (`size`) along each axis.
inline Matrix4 RandomSimilarity(SplitMix& rng, double size) {
  Matrix4 m = Matrix4::Identity();
  const double scale = std::exp(rng.Uniform(std::log(0.25), std::log(4.0)));
  m.linear() =
      scale *
      Eigen::AngleAxisd(rng.Uniform(0.0, 3.141592653589793), RandomUnit(rng)).toRotationMatrix();
  m.translation() = 50.0 * size * Vector3(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
  return m;
}

// Each coordinate moved by up to `amplitude` either way.
inline void AddNoise(std::vector<Vector3>& v, double amplitude, SplitMix& rng) {
  for (Vector3& p : v) p += amplitude * Vector3(rng.Symmetric(), rng.Symmetric(), rng.Symmetric());
}

// Keeps the vertices with keep[i] and the triangles of kept vertices only.
inline Mesh KeepVertices(const Mesh& m, const std::vector<char>& keep) {
  constexpr std::uint32_t kGone = ~0u;
  std::vector<std::uint32_t> remap(m.vertices.size(), kGone);
  Mesh out;
  for (std::size_t i = 0; i < m.vertices.size(); ++i) {
    if (!keep[i]) continue;
    remap[i] = static_cast<std::uint32_t>(out.vertices.size());
    out.vertices.push_back(m.vertices[i]);
  }
  for (const geometry::Triangle& t : m.triangles) {
    const geometry::Triangle r{remap[t[0]], remap[t[1]], remap[t[2]]};
    if (r[0] != kGone && r[1] != kGone && r[2] != kGone) out.triangles.push_back(r);
  }
  return out;
}

// A `fraction` of the vertices, chosen at random, removed with their faces.
inline Mesh RemoveVertices(const Mesh& m, double fraction, SplitMix& rng) {
  std::vector<std::uint32_t> order(m.vertices.size());
  std::iota(order.begin(), order.end(), 0u);
  const auto removed = static_cast<std::size_t>(fraction * static_cast<double>(order.size()));
  std::vector<char> keep(order.size(), 1);
  for (std::size_t i = 0; i < removed; ++i) {
    const std::size_t j = i + static_cast<std::size_t>(rng.Next() % (order.size() - i));
    std::swap(order[i], order[j]);
    keep[order[i]] = 0;
  }
  return KeepVertices(m, keep);
}

// Every triangle split in four at its edge midpoints (shared between neighbours).
inline Mesh Subdivide(const Mesh& m) {
  Mesh out;
  out.vertices = m.vertices;
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> midpoints;
  const auto mid = [&](std::uint32_t a, std::uint32_t b) {
    const auto key = std::minmax(a, b);
    const auto found = midpoints.find(key);
    if (found != midpoints.end()) return found->second;
    const auto index = static_cast<std::uint32_t>(out.vertices.size());
    out.vertices.push_back(0.5 * (m.vertices[a] + m.vertices[b]));
    midpoints.emplace(key, index);
    return index;
  };
  for (const geometry::Triangle& t : m.triangles) {
    const std::uint32_t ab = mid(t[0], t[1]), bc = mid(t[1], t[2]), ca = mid(t[2], t[0]);
    out.triangles.push_back({t[0], ab, ca});
    out.triangles.push_back({ab, t[1], bc});
    out.triangles.push_back({ca, bc, t[2]});
    out.triangles.push_back({ab, bc, ca});
  }
  return out;
}

// The same mesh with its vertices in random order.
inline Mesh Shuffle(const Mesh& m, SplitMix& rng) {
  const std::size_t n = m.vertices.size();
  std::vector<std::uint32_t> where(n);  // new position of old vertex i
  std::iota(where.begin(), where.end(), 0u);
  for (std::size_t i = n; i > 1; --i)
    std::swap(where[i - 1], where[static_cast<std::size_t>(rng.Next() % i)]);
  Mesh out;
  out.vertices.resize(n);
  for (std::size_t i = 0; i < n; ++i) out.vertices[where[i]] = m.vertices[i];
  for (const geometry::Triangle& t : m.triangles)
    out.triangles.push_back({where[t[0]], where[t[1]], where[t[2]]});
  return out;
}

// Largest displacement of a base vertex between two motions, relative to `size`.
inline double MotionError(const std::vector<Vector3>& base, const Matrix4& truth,
                          const Matrix4& found, double size) {
  double worst = 0.0;
  for (const Vector3& p : base)
    worst = std::max(worst, (TransformPoint(truth, p) - TransformPoint(found, p)).norm());
  return worst / size;
}

}  // namespace korvane::testing
