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
#include <tuple>
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
inline Mesh Shuffle(const Mesh& m, SplitMix& rng);

// A copy as re-exports change it, moved by `truth` and rounded to six
// decimals: "removed" (2% of the vertices), "split" (every triangle in four)
// or "shuffled".
inline Mesh CopyOfKind(const Mesh& base, const std::string& kind, const Matrix4& truth,
                       SplitMix& rng) {
  Mesh moved = kind == "removed" ? RemoveVertices(base, 0.02, rng)
               : kind == "split" ? Subdivide(base)
                                 : Shuffle(base, rng);
  moved.vertices = MovedRounded(moved.vertices, truth);
  return moved;
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

// A surface of revolution about z: `around` vertices per ring, the profile
// (radius, height) from the bottom pole (radius 0) to the top pole, each
// pole one vertex. `around` = 8 makes an eight-sided prism.
inline Mesh Lathe(std::uint32_t around, const std::vector<std::pair<double, double>>& profile) {
  Mesh m;
  const auto rings = static_cast<std::uint32_t>(profile.size() - 2);
  m.vertices.push_back(Vector3(0, 0, profile.front().second));
  for (std::uint32_t r = 0; r < rings; ++r) {
    for (std::uint32_t k = 0; k < around; ++k) {
      const double a = 2.0 * 3.141592653589793 * k / around;
      const auto [radius, z] = profile[r + 1];
      m.vertices.push_back(Vector3(radius * std::cos(a), radius * std::sin(a), z));
    }
  }
  const auto top = static_cast<std::uint32_t>(m.vertices.size());
  m.vertices.push_back(Vector3(0, 0, profile.back().second));
  const auto at = [&](std::uint32_t r, std::uint32_t k) { return 1 + r * around + k % around; };
  for (std::uint32_t k = 0; k < around; ++k) {
    m.triangles.push_back({0, at(0, k + 1), at(0, k)});
    m.triangles.push_back({top, at(rings - 1, k), at(rings - 1, k + 1)});
    for (std::uint32_t r = 0; r + 1 < rings; ++r) {
      m.triangles.push_back({at(r, k), at(r, k + 1), at(r + 1, k + 1)});
      m.triangles.push_back({at(r, k), at(r + 1, k + 1), at(r + 1, k)});
    }
  }
  return m;
}

// An axis-aligned box of half-sides `half`, each face a grid of `cells` x
// `cells` squares, corners and edges shared.
inline Mesh BoxMesh(const Vector3& half, std::uint32_t cells) {
  Mesh m;
  std::map<std::tuple<double, double, double>, std::uint32_t> index;
  const auto vertex = [&](const Vector3& p) {
    const auto key = std::make_tuple(p.x(), p.y(), p.z());
    const auto found = index.find(key);
    if (found != index.end()) return found->second;
    const auto i = static_cast<std::uint32_t>(m.vertices.size());
    m.vertices.push_back(p);
    index.emplace(key, i);
    return i;
  };
  for (int axis = 0; axis < 3; ++axis) {
    for (const double side : {-1.0, 1.0}) {
      const int u = (axis + 1) % 3, v = (axis + 2) % 3;
      const auto point = [&](std::uint32_t i, std::uint32_t j) {
        Vector3 p;
        p[axis] = side * half[axis];
        p[u] = half[u] * (2.0 * i / cells - 1.0);
        p[v] = half[v] * (2.0 * j / cells - 1.0);
        return vertex(p);
      };
      for (std::uint32_t i = 0; i < cells; ++i) {
        for (std::uint32_t j = 0; j < cells; ++j) {
          const std::uint32_t a = point(i, j), b = point(i + 1, j), c = point(i + 1, j + 1),
                              d = point(i, j + 1);
          if (side > 0) {
            m.triangles.push_back({a, b, c});
            m.triangles.push_back({a, c, d});
          } else {
            m.triangles.push_back({a, c, b});
            m.triangles.push_back({a, d, c});
          }
        }
      }
    }
  }
  return m;
}

// A torus of radii R and r, `around` x `tube` vertices.
inline Mesh Torus(double big, double small, std::uint32_t around, std::uint32_t tube) {
  Mesh m;
  for (std::uint32_t i = 0; i < around; ++i) {
    for (std::uint32_t j = 0; j < tube; ++j) {
      const double a = 2.0 * 3.141592653589793 * i / around;
      const double b = 2.0 * 3.141592653589793 * j / tube;
      const double r = big + small * std::cos(b);
      m.vertices.push_back(Vector3(r * std::cos(a), r * std::sin(a), small * std::sin(b)));
    }
  }
  const auto at = [&](std::uint32_t i, std::uint32_t j) { return (i % around) * tube + j % tube; };
  for (std::uint32_t i = 0; i < around; ++i) {
    for (std::uint32_t j = 0; j < tube; ++j) {
      m.triangles.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
      m.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    }
  }
  return m;
}

// Symmetric shapes and near-symmetric ones that differ from them by a small
// feature: the global search must find the one motion of the latter.
struct NamedMesh {
  std::string name;
  Mesh mesh;
  bool symmetric;  // several motions carry it onto itself
};
inline std::vector<NamedMesh> SymmetricShapes() {
  std::vector<NamedMesh> out;
  out.push_back({"cube", BoxMesh(Vector3(1, 1, 1), 8), true});
  Mesh notched = BoxMesh(Vector3(1, 1, 1), 8);
  for (Vector3& p : notched.vertices) {
    // A square dent in one face, off its centre.
    if (p.z() == 1.0 && p.x() > 0.2 && p.x() < 0.8 && p.y() > 0.2 && p.y() < 0.6) p.z() = 0.8;
  }
  out.push_back({"cube, dented", std::move(notched), false});
  std::vector<std::pair<double, double>> can = {{0, -1}};
  for (int k = 0; k <= 10; ++k) can.push_back({0.5, -1.0 + 0.2 * k});
  can.push_back({0, 1});
  out.push_back({"8-sided prism", Lathe(8, can), true});
  Mesh keyed = Lathe(24, can);
  // A keyway along the upper half: one column of the hub's vertices pushed in.
  for (std::size_t i = 1; i + 1 < keyed.vertices.size(); i += 24) {
    if (keyed.vertices[i].z() > 0.0) keyed.vertices[i] *= 0.8;
  }
  out.push_back({"hub, keyed", std::move(keyed), false});
  std::vector<std::pair<double, double>> ball = {{0, -1}};
  for (int k = 1; k < 16; ++k) {
    const double t = 3.141592653589793 * k / 16;
    ball.push_back({std::sin(t), -std::cos(t)});
  }
  ball.push_back({0, 1});
  Mesh lumpy = Lathe(32, ball);
  // Nearly a sphere: variances within a percent, one shallow bump.
  for (Vector3& p : lumpy.vertices) {
    p.x() *= 1.01;
    p += 0.05 * std::exp(-8.0 * (p - Vector3(0.6, 0.6, 0.5)).squaredNorm()) * p;
  }
  out.push_back({"sphere, bumped", std::move(lumpy), false});
  out.push_back({"torus", Torus(1.0, 0.3, 48, 16), true});
  return out;
}

// The copies other tools make of a surface, as opposed to re-exports that keep
// its vertices: a scan samples it anew, a remesher merges vertices, a cut
// keeps a part.

// `count` points spread over the triangles by area (a scan without noise).
inline std::vector<Vector3> SampleSurface(const Mesh& m, std::size_t count, SplitMix& rng) {
  std::vector<double> cumulative;
  double total = 0.0;
  for (const geometry::Triangle& t : m.triangles) {
    total +=
        0.5 *
        (m.vertices[t[1]] - m.vertices[t[0]]).cross(m.vertices[t[2]] - m.vertices[t[0]]).norm();
    cumulative.push_back(total);
  }
  std::vector<Vector3> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count && total > 0.0; ++i) {
    const auto at = std::upper_bound(cumulative.begin(), cumulative.end(), rng.Uniform() * total);
    const geometry::Triangle& t = m.triangles[std::min(
        static_cast<std::size_t>(at - cumulative.begin()), m.triangles.size() - 1)];
    // Uniform on the triangle: the square root keeps the density even.
    const double r = std::sqrt(rng.Uniform()), s = rng.Uniform();
    out.push_back((1.0 - r) * m.vertices[t[0]] + r * (1.0 - s) * m.vertices[t[1]] +
                  r * s * m.vertices[t[2]]);
  }
  return out;
}

// The vertices on no triangle dropped.
inline Mesh DropLoose(const Mesh& m) {
  std::vector<char> used(m.vertices.size(), 0);
  for (const geometry::Triangle& t : m.triangles) used[t[0]] = used[t[1]] = used[t[2]] = 1;
  return KeepVertices(m, used);
}

// A remesher's or decimator's copy: the vertices in each cell of a grid of
// side `cell` merged into their mean, triangles that lose a corner dropped.
inline Mesh MergeOnGrid(const Mesh& m, double cell) {
  std::map<std::tuple<long long, long long, long long>, std::uint32_t> cells;
  std::vector<std::uint32_t> into(m.vertices.size());
  std::vector<int> members;
  Mesh out;
  for (std::size_t i = 0; i < m.vertices.size(); ++i) {
    const Vector3 q = (m.vertices[i] / cell).array().floor();
    const auto key = std::make_tuple(static_cast<long long>(q.x()), static_cast<long long>(q.y()),
                                     static_cast<long long>(q.z()));
    const auto [found, added] = cells.emplace(key, static_cast<std::uint32_t>(out.vertices.size()));
    if (added) {
      out.vertices.push_back(Vector3::Zero());
      members.push_back(0);
    }
    into[i] = found->second;
    out.vertices[found->second] += m.vertices[i];
    members[found->second] += 1;
  }
  for (std::size_t i = 0; i < out.vertices.size(); ++i) out.vertices[i] /= members[i];
  for (const geometry::Triangle& t : m.triangles) {
    const geometry::Triangle r{into[t[0]], into[t[1]], into[t[2]]};
    if (r[0] != r[1] && r[1] != r[2] && r[0] != r[2]) out.triangles.push_back(r);
  }
  return DropLoose(out);
}

// The vertices on one side of a random plane kept: a `share` of them cut away.
inline Mesh CutByPlane(const Mesh& m, double share, SplitMix& rng) {
  const Vector3 normal = RandomUnit(rng);
  std::vector<double> along;
  for (const Vector3& p : m.vertices) along.push_back(normal.dot(p));
  std::vector<double> sorted = along;
  const auto k = static_cast<std::size_t>(share * static_cast<double>(sorted.size()));
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(k), sorted.end());
  const double cut = sorted[k];
  std::vector<char> keep(along.size());
  for (std::size_t i = 0; i < along.size(); ++i) keep[i] = along[i] >= cut;
  return DropLoose(KeepVertices(m, keep));
}

// Every triangle split in three at its centre (a re-triangulation that adds
// vertices inside the faces, not on the edges).
inline Mesh SplitAtCentres(const Mesh& m) {
  Mesh out;
  out.vertices = m.vertices;
  for (const geometry::Triangle& t : m.triangles) {
    const auto c = static_cast<std::uint32_t>(out.vertices.size());
    out.vertices.push_back((m.vertices[t[0]] + m.vertices[t[1]] + m.vertices[t[2]]) / 3.0);
    out.triangles.push_back({t[0], t[1], c});
    out.triangles.push_back({t[1], t[2], c});
    out.triangles.push_back({t[2], t[0], c});
  }
  return out;
}

// A convex polyhedron of equal edges whose faces are triangles (tetrahedron,
// octahedron, icosahedron): the faces are the triples of vertices at the
// shortest distance from each other, turned outward.
inline Mesh RegularPolyhedron(const std::vector<Vector3>& vertices) {
  Mesh m;
  m.vertices = vertices;
  double edge = 1e300;
  for (std::size_t i = 0; i < vertices.size(); ++i)
    for (std::size_t j = i + 1; j < vertices.size(); ++j)
      edge = std::min(edge, (vertices[i] - vertices[j]).norm());
  const auto near = [&](std::size_t i, std::size_t j) {
    return std::abs((vertices[i] - vertices[j]).norm() - edge) < 1e-9 * edge;
  };
  for (std::uint32_t i = 0; i < vertices.size(); ++i)
    for (std::uint32_t j = i + 1; j < vertices.size(); ++j)
      for (std::uint32_t k = j + 1; k < vertices.size(); ++k) {
        if (!near(i, j) || !near(j, k) || !near(i, k)) continue;
        const Vector3 n = (vertices[j] - vertices[i]).cross(vertices[k] - vertices[i]);
        if (n.dot(vertices[i] + vertices[j] + vertices[k]) > 0)
          m.triangles.push_back({i, j, k});
        else
          m.triangles.push_back({i, k, j});
      }
  return m;
}

// Shapes that several turns carry onto themselves, few vertices, flat faces:
// the regular polyhedra, prisms, boxes and a thin plate.
inline std::vector<NamedMesh> SymmetricSolids() {
  const double phi = (1.0 + std::sqrt(5.0)) / 2.0;
  std::vector<Vector3> icosahedron;
  for (const double a : {-1.0, 1.0})
    for (const double b : {-phi, phi}) {
      icosahedron.push_back(Vector3(0, a, b));
      icosahedron.push_back(Vector3(a, b, 0));
      icosahedron.push_back(Vector3(b, 0, a));
    }
  const std::vector<std::pair<double, double>> prism = {{0, -1}, {1, -1}, {1, 1}, {0, 1}};
  std::vector<NamedMesh> out;
  out.push_back(
      {"tetrahedron", RegularPolyhedron({{1, 1, 1}, {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}}), true});
  out.push_back({"octahedron", Lathe(4, {{0, -1}, {1, 0}, {0, 1}}), true});
  out.push_back({"icosahedron", RegularPolyhedron(icosahedron), true});
  out.push_back({"cube", BoxMesh(Vector3(1, 1, 1), 1), true});
  out.push_back({"6-sided prism", Lathe(6, prism), true});
  out.push_back({"16-sided prism", Lathe(16, prism), true});
  out.push_back({"box", BoxMesh(Vector3(1, 0.7, 0.4), 1), true});
  out.push_back({"plate", BoxMesh(Vector3(1, 0.6, 0.02), 6), true});
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
