#include "cli/mesh_generator.h"

#include <cmath>
#include <cstdio>

#include "text/numbers.h"

namespace korvane::cli {
namespace {

struct Grid {
  std::uint64_t rings;
  std::uint64_t segments;
};

Grid GridFor(std::uint64_t vertices) {
  const std::uint64_t n = vertices < 12 ? 12 : vertices;
  auto rings = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(n) / 2.0));
  if (rings < 3) rings = 3;
  std::uint64_t segments = n / rings;
  if (segments < 4) segments = 4;
  return {rings, segments};
}

// Small deterministic hash, so meshes are identical on every machine.
double Noise(std::uint64_t seed, std::uint64_t i) {
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + i * 0xBF58476D1CE4E5B9ull;
  x ^= x >> 31;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 29;
  return static_cast<double>(x >> 11) * (1.0 / 9007199254740992.0);
}

geometry::Vector3 Position(const MeshOptions& o, const Grid& g, std::uint64_t r, std::uint64_t s) {
  const double theta =
      geometry::kPi * (static_cast<double>(r) + 1.0) / (static_cast<double>(g.rings) + 1.0);
  const double phi = 2.0 * geometry::kPi * static_cast<double>(s) / static_cast<double>(g.segments);
  const double bump = 1.0 + 0.15 * std::sin(3.0 * theta) * std::cos(5.0 * phi) +
                      0.01 * Noise(o.seed, r * g.segments + s);
  return geometry::Vector3(1.7 * bump * std::sin(theta) * std::cos(phi),
                           1.1 * bump * std::sin(theta) * std::sin(phi),
                           0.8 * bump * std::cos(theta));
}

template <class Emit>
void Produce(const MeshOptions& o, const geometry::Matrix4& m, Emit&& emit) {
  const Grid g = GridFor(o.vertices);
  std::string block;
  char num[text::kMaxFixedChars];
  const auto add = [&](double v) { block.append(num, text::FormatFixed6(num, v)); };
  const auto maybe_flush = [&] {
    if (block.size() > (1u << 20)) {
      emit(block);
      block.clear();
    }
  };
  block += "# Korvane test mesh\n# vertices ";
  block += std::to_string(g.rings * g.segments);
  block += "\nmtllib scene.mtl\no Body\ng body_main\n";
  for (std::uint64_t r = 0; r < g.rings; ++r) {
    for (std::uint64_t s = 0; s < g.segments; ++s) {
      const geometry::Vector3 p = geometry::TransformPoint(m, Position(o, g, r, s));
      block += "v ";
      add(p.x());
      block += ' ';
      add(p.y());
      block += ' ';
      add(p.z());
      block += '\n';
      maybe_flush();
    }
  }
  if (o.uvs) {
    for (std::uint64_t r = 0; r < g.rings; ++r) {
      for (std::uint64_t s = 0; s < g.segments; ++s) {
        block += "vt ";
        add(static_cast<double>(s) / static_cast<double>(g.segments));
        block += ' ';
        add(static_cast<double>(r) / static_cast<double>(g.rings));
        block += '\n';
        maybe_flush();
      }
    }
  }
  if (o.normals) {
    for (std::uint64_t r = 0; r < g.rings; ++r) {
      for (std::uint64_t s = 0; s < g.segments; ++s) {
        const geometry::Vector3 n = Position(o, g, r, s).normalized();
        block += "vn ";
        add(n.x());
        block += ' ';
        add(n.y());
        block += ' ';
        add(n.z());
        block += '\n';
        maybe_flush();
      }
    }
  }
  block += "usemtl skin\ns 1\n";
  for (std::uint64_t r = 0; r + 1 < g.rings; ++r) {
    for (std::uint64_t s = 0; s < g.segments; ++s) {
      const std::uint64_t a = r * g.segments + s + 1;
      const std::uint64_t b = r * g.segments + (s + 1) % g.segments + 1;
      const std::uint64_t c = a + g.segments;
      const std::uint64_t d = b + g.segments;
      const std::uint64_t quad[4] = {a, b, d, c};
      block += 'f';
      for (std::uint64_t q : quad) {
        const std::string i = std::to_string(q);
        block += ' ';
        block += i;
        block += '/';
        if (o.uvs) block += i;
        if (o.normals) {
          block += '/';
          block += i;
        }
      }
      block += '\n';
      maybe_flush();
    }
  }
  emit(block);
}

}  // namespace

std::vector<geometry::Vector3> SurfacePositions(const MeshOptions& options) {
  const Grid g = GridFor(options.vertices);
  std::vector<geometry::Vector3> out;
  out.reserve(g.rings * g.segments);
  for (std::uint64_t r = 0; r < g.rings; ++r) {
    for (std::uint64_t s = 0; s < g.segments; ++s) out.push_back(Position(options, g, r, s));
  }
  return out;
}

std::string SurfaceObj(const MeshOptions& options, const geometry::Matrix4& m) {
  std::string all;
  Produce(options, m, [&](const std::string& block) { all += block; });
  return all;
}

bool WriteSurfaceObj(const std::string& path, const MeshOptions& options,
                     const geometry::Matrix4& m) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = true;
  Produce(options, m, [&](const std::string& block) {
    if (std::fwrite(block.data(), 1, block.size(), f) != block.size()) ok = false;
  });
  if (std::fclose(f) != 0) ok = false;
  return ok;
}

}  // namespace korvane::cli
