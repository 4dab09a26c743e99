#include "obj/record_motion.h"

#include <emmintrin.h>
#include <xmmintrin.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/platform.h"

// The helpers below are inlined and internal: no call passes a vector
// between differently built code, which is what this warning is about.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace korvane::obj {
namespace {

// Four lanes, one record each. GCC's vector types keep every operation
// elementwise IEEE arithmetic, as the scalar code's; without FMA in the
// target nothing is contracted, so each lane is rounded exactly as there.
typedef double Lanes __attribute__((vector_size(32)));
typedef float Floats __attribute__((vector_size(16)));
typedef long long Masks __attribute__((vector_size(32)));

struct Coefficients {
  Lanes linear[3][3], shift[3], normal[3][3];
};

#define KORVANE_INLINE inline __attribute__((always_inline))

#define KORVANE_LANES(v) \
  Lanes { v, v, v, v }

KORVANE_INLINE float LoadF(const unsigned char* p, bool big) { return LoadFloat(p, big); }

// Value `j` of the three at `offsets` of records r[0..3].
KORVANE_INLINE void Gather(unsigned char* const* r, const std::size_t* offsets, bool big,
                           Lanes* out) {
  for (int j = 0; j < 3; ++j) {
    const std::size_t o = offsets[j];
    const Floats f = {LoadF(r[0] + o, big), LoadF(r[1] + o, big), LoadF(r[2] + o, big),
                      LoadF(r[3] + o, big)};
    out[j] = __builtin_convertvector(f, Lanes);
  }
}

KORVANE_INLINE void Scatter(unsigned char* const* r, std::size_t n, const std::size_t* offsets,
                            bool big, const Lanes* v) {
  for (int j = 0; j < 3; ++j) {
    const Floats f = __builtin_convertvector(v[j], Floats);
    for (std::size_t k = 0; k < n; ++k) StoreFloat(r[k] + offsets[j], f[k], big);
  }
}

// |v| <= limit, false for NaN.
KORVANE_INLINE Masks Within(const Lanes& v, const Lanes& limit) {
  return (v <= limit) & (v >= -limit);
}

// Rows as Eigen's 3x3 product sums them with SSE2: the first two rows as a
// pair, (a0 x + a1 y) + a2 z, the third alone, a0 x + (a1 y + a2 z). The
// test against MeshMotion says so if that ever changes.
KORVANE_INLINE void Product(const Lanes (&m)[3][3], const Lanes* v, Lanes* out) {
  for (int i = 0; i < 2; ++i) out[i] = (m[i][0] * v[0] + m[i][1] * v[1]) + m[i][2] * v[2];
  out[2] = m[2][0] * v[0] + (m[2][1] * v[1] + m[2][2] * v[2]);
}

// Adds to `bad` the lanes where a finite coordinate was carried out of float range.
KORVANE_INLINE void MovePoints(const Coefficients& c, const Lanes* before, Lanes* after,
                               Masks& bad) {
  Product(c.linear, before, after);
  const Lanes limit = KORVANE_LANES(static_cast<double>(std::numeric_limits<float>::max()));
  const Lanes finite = KORVANE_LANES(std::numeric_limits<double>::max());
  for (int i = 0; i < 3; ++i) {
    after[i] = after[i] + c.shift[i];
    // !(|after| <= limit) holds for NaN too; a NaN or infinite input stays so.
    bad |= ~Within(after[i], limit) & Within(before[i], finite);
  }
}

KORVANE_INLINE bool None(const Masks& bad) { return (bad[0] | bad[1] | bad[2] | bad[3]) == 0; }

KORVANE_INLINE void TurnNormals(const Coefficients& c, Lanes* n) {
  constexpr double kMax = std::numeric_limits<double>::max();
  const Lanes zero = KORVANE_LANES(0.0);
  const Masks none = (n[0] == zero) & (n[1] == zero) & (n[2] == zero);
  Lanes t[3];
  Product(c.normal, n, t);
  const Lanes squared = (t[0] * t[0] + t[1] * t[1]) + t[2] * t[2];
  // Two lanes at a time, as every x86-64 has; exact, as std::sqrt.
  const __m128d low = _mm_sqrt_pd(__m128d{squared[0], squared[1]});
  const __m128d high = _mm_sqrt_pd(__m128d{squared[2], squared[3]});
  const Lanes length = {low[0], low[1], high[0], high[1]};
  // Divided only where the length is positive and finite; a zero normal stays as it came.
  const Masks divide = (length > zero) & Within(length, KORVANE_LANES(kMax));
  const Lanes safe = divide ? length : KORVANE_LANES(1.0);
  for (int j = 0; j < 3; ++j) {
    const Lanes unit = divide ? t[j] / safe : t[j];
    n[j] = none ? n[j] : unit;
  }
}

KORVANE_INLINE bool MoveBody(unsigned char* data, std::size_t count, const FloatRecords& layout,
                             const Coefficients& c, std::size_t& done) {
  for (done = 0; done < count; done += 4) {
    const std::size_t n = count - done < 4 ? count - done : 4;
    unsigned char* r[4];
    // A short last group repeats its last record in the spare lanes.
    for (std::size_t k = 0; k < 4; ++k) r[k] = data + (done + (k < n ? k : n - 1)) * layout.stride;
    Lanes moved[3][3];
    Masks bad = {0, 0, 0, 0};
    for (std::size_t p = 0; p < layout.points; ++p) {
      Lanes before[3];
      Gather(r, layout.position[p], layout.big, before);
      MovePoints(c, before, moved[p], bad);
    }
    if (!None(bad)) return false;
    if (layout.normals) {
      Lanes normal[3];
      Gather(r, layout.normal, layout.big, normal);
      TurnNormals(c, normal);
      Scatter(r, n, layout.normal, layout.big, normal);
    }
    for (std::size_t p = 0; p < layout.points; ++p) {
      const std::size_t to = layout.swapCorners && p > 0 ? 3 - p : p;
      Scatter(r, n, layout.position[to], layout.big, moved[p]);
    }
  }
  return true;
}

// Four binary STL facets: their first 48 bytes (normal and corners) as
// three rows of four floats each, turned into twelve lanes of one value each.
KORVANE_INLINE void Transpose(__m128* v) {
  const __m128 t0 = _mm_unpacklo_ps(v[0], v[1]), t1 = _mm_unpacklo_ps(v[2], v[3]);
  const __m128 t2 = _mm_unpackhi_ps(v[0], v[1]), t3 = _mm_unpackhi_ps(v[2], v[3]);
  v[0] = _mm_movelh_ps(t0, t1);
  v[1] = _mm_movehl_ps(t1, t0);
  v[2] = _mm_movelh_ps(t2, t3);
  v[3] = _mm_movehl_ps(t3, t2);
}

KORVANE_INLINE bool MoveFacets(unsigned char* data, std::size_t count, bool mirror,
                               const Coefficients& c, std::size_t& done) {
  constexpr std::size_t kFacet = 50;
  for (done = 0; done + 4 <= count; done += 4) {
    unsigned char* const r = data + done * kFacet;
    __m128 v[12];  // per facet k: v[4 * row + k]
    for (std::size_t k = 0; k < 4; ++k) {
      for (std::size_t row = 0; row < 3; ++row)
        v[4 * row + k] = _mm_loadu_ps(reinterpret_cast<const float*>(r + k * kFacet + 16 * row));
    }
    for (std::size_t row = 0; row < 3; ++row) Transpose(v + 4 * row);
    // v[i]: value i (normal x, y, z, then the corners' x, y, z) of the four facets.
    Lanes d[12];
    for (int i = 0; i < 12; ++i) d[i] = __builtin_convertvector(static_cast<Floats>(v[i]), Lanes);
    Lanes out[12];
    Masks bad = {0, 0, 0, 0};
    for (int corner = 0; corner < 3; ++corner) {
      const int to = mirror && corner > 0 ? 3 - corner : corner;
      MovePoints(c, d + 3 + 3 * corner, out + 3 + 3 * to, bad);
    }
    if (!None(bad)) return false;
    TurnNormals(c, d);
    for (int i = 0; i < 3; ++i) out[i] = d[i];
    for (int i = 0; i < 12; ++i)
      v[i] = static_cast<__m128>(__builtin_convertvector(out[i], Floats));
    for (std::size_t row = 0; row < 3; ++row) Transpose(v + 4 * row);
    for (std::size_t k = 0; k < 4; ++k) {
      for (std::size_t row = 0; row < 3; ++row)
        _mm_storeu_ps(reinterpret_cast<float*>(r + k * kFacet + 16 * row), v[4 * row + k]);
    }
  }
  return true;
}

__attribute__((target("avx"))) bool MoveFacetsAvx(unsigned char* data, std::size_t count,
                                                  bool mirror, const Coefficients& c,
                                                  std::size_t& done) {
  return MoveFacets(data, count, mirror, c, done);
}
__attribute__((target("avx"))) bool MoveAvx(unsigned char* data, std::size_t count,
                                            const FloatRecords& layout, const Coefficients& c,
                                            std::size_t& done) {
  return MoveBody(data, count, layout, c, done);
}
std::atomic<bool> g_avx_allowed{true};

bool HasAvx() {
  // MinGW's GCC cannot align the stack for AVX's 32-byte spills on Windows.
  if (platform::kIsWindows) return false;
  static const bool avx = __builtin_cpu_supports("avx");
  return avx && g_avx_allowed.load(std::memory_order_relaxed);
}

bool MoveFacetsPlain(unsigned char* data, std::size_t count, bool mirror, const Coefficients& c,
                     std::size_t& done) {
  return MoveFacets(data, count, mirror, c, done);
}

bool MovePlain(unsigned char* data, std::size_t count, const FloatRecords& layout,
               const Coefficients& c, std::size_t& done) {
  return MoveBody(data, count, layout, c, done);
}

// One record at a time, through MeshMotion: from the group that stopped the
// fast path on, so that the record at fault throws as the replays say it.
void MoveOne(unsigned char* r, const FloatRecords& layout, const MeshMotion& motion,
             const std::string& path) {
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  const auto load = [&](const std::size_t* o) {
    return geometry::Vector3(LoadFloat(r + o[0], layout.big), LoadFloat(r + o[1], layout.big),
                             LoadFloat(r + o[2], layout.big));
  };
  const auto store = [&](const std::size_t* o, const geometry::Vector3& v) {
    for (int j = 0; j < 3; ++j) StoreFloat(r + o[j], static_cast<float>(v[j]), layout.big);
  };
  geometry::Vector3 moved[3];
  for (std::size_t p = 0; p < layout.points; ++p) {
    const geometry::Vector3 before = load(layout.position[p]);
    moved[p] = motion.Point(before);
    CheckMovedInRange(before, moved[p], kFloatMax, path, 0);
  }
  if (layout.normals) store(layout.normal, motion.Normal(load(layout.normal)));
  for (std::size_t p = 0; p < layout.points; ++p)
    store(layout.position[layout.swapCorners && p > 0 ? 3 - p : p], moved[p]);
}

}  // namespace

namespace {
Coefficients CoefficientsOf(const MeshMotion& motion) {
  Coefficients c;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      c.linear[i][j] = KORVANE_LANES(motion.linear(i, j));
      c.normal[i][j] = KORVANE_LANES(motion.normal(i, j));
    }
    c.shift[i] = KORVANE_LANES(motion.shift[i]);
  }
  return c;
}
}  // namespace

void MoveFloatRecords(unsigned char* data, std::size_t count, const FloatRecords& layout,
                      const MeshMotion& motion, const std::string& path) {
  const Coefficients c = CoefficientsOf(motion);
  std::size_t done = 0;
  if (HasAvx() ? MoveAvx(data, count, layout, c, done) : MovePlain(data, count, layout, c, done))
    return;
  for (std::size_t k = done; k < count; ++k)
    MoveOne(data + k * layout.stride, layout, motion, path);
}

void MoveStlFacets(unsigned char* data, std::size_t count, const MeshMotion& motion,
                   const std::string& path) {
  const Coefficients c = CoefficientsOf(motion);
  std::size_t done = 0;
  // The last few facets, and from a group with a fault on, one at a time.
  (HasAvx() ? MoveFacetsAvx : MoveFacetsPlain)(data, count, motion.mirrors, c, done);
  const FloatRecords layout = StlFacetLayout(motion.mirrors);
  for (std::size_t k = done; k < count; ++k)
    MoveOne(data + k * layout.stride, layout, motion, path);
}

void AllowAvxForRecords(bool allow) { g_avx_allowed = allow; }

FloatRecords StlFacetLayout(bool mirrors) {
  FloatRecords l;
  l.stride = 50;
  l.points = 3;
  for (std::size_t p = 0; p < 3; ++p) {
    for (std::size_t j = 0; j < 3; ++j) l.position[p][j] = 12 + 12 * p + 4 * j;
  }
  l.normals = true;
  l.swapCorners = mirrors;
  return l;
}

}  // namespace korvane::obj
