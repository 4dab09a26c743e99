// Throughput of the number reader and writers on OBJ-like coordinates, next
// to the C library and standard-library calls they replace.
//
//   numbers_bench [count]      (default 2,000,000 texts and values)
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "split_mix.h"
#include "text/numbers.h"

namespace {

using korvane::testing::SplitMix;
using korvane::text::FormatFixed6;
using korvane::text::FormatGeneral15;
using korvane::text::ParseDouble;

// Best of a few runs, in nanoseconds per item.
template <typename F>
double NsPerOp(std::size_t count, F&& body) {
  double best = 1e300;
  for (int run = 0; run < 3; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    body();
    const auto t1 = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count();
    if (ns < best) best = ns;
  }
  return best / static_cast<double>(count);
}

volatile double g_sink_d;
volatile std::size_t g_sink_n;

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000000;
  SplitMix rng(42);

  // Texts as exporters write them: mostly "%f", some short "%g"-style.
  std::vector<std::string> texts;
  texts.reserve(count);
  char buf[400];
  for (std::size_t i = 0; i < count; ++i) {
    const double v = rng.Uniform(-100.0, 100.0);
    switch (rng.Next() % 10) {
      case 0:
      case 1:
        std::snprintf(buf, sizeof buf, "%.6g", v);  // "0.123457", "-12.5"
        break;
      case 2:
        std::snprintf(buf, sizeof buf, "%.0e", v * 1e-4);  // "1e-03"
        break;
      default:
        std::snprintf(buf, sizeof buf, "%f", v);  // "-12.345678"
        break;
    }
    texts.emplace_back(buf);
  }
  std::vector<std::string_view> views(texts.begin(), texts.end());

  // Values to write: six-decimal coordinates and full-precision results of
  // arithmetic on them (a transformed mesh).
  std::vector<double> values(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double v = static_cast<double>(static_cast<long long>(rng.Uniform(-1e8, 1e8))) / 1e6;
    values[i] = (i % 2 == 0) ? v : v * 1.2345678901 + 0.1;
  }

  std::printf("numbers_bench: %zu texts / values\n\n", count);
  std::printf("%-40s %8s\n", "read", "ns/op");
  const double parse = NsPerOp(count, [&] {
    double s = 0;
    for (std::string_view t : views) s += ParseDouble(t).value;
    g_sink_d = s;
  });
  std::printf("%-40s %8.1f\n", "korvane::text::ParseDouble", parse);
  const double c_strtod = NsPerOp(count, [&] {
    double s = 0;
    for (const std::string& t : texts) s += std::strtod(t.c_str(), nullptr);
    g_sink_d = s;
  });
  std::printf("%-40s %8.1f\n", "strtod", c_strtod);
  const double stod = NsPerOp(count, [&] {
    double s = 0;
    for (const std::string& t : texts) s += std::stod(t);
    g_sink_d = s;
  });
  std::printf("%-40s %8.1f\n", "std::stod", stod);
  const double from_chars = NsPerOp(count, [&] {
    double s = 0;
    for (std::string_view t : views) {
      double v = 0;
      std::from_chars(t.data(), t.data() + t.size(), v);
      s += v;
    }
    g_sink_d = s;
  });
  std::printf("%-40s %8.1f\n", "std::from_chars (no strtod semantics)", from_chars);

  std::printf("\n%-40s %8s\n", "write", "ns/op");
  char out[korvane::text::kMaxFixedChars];
  const double fixed = NsPerOp(count, [&] {
    std::size_t n = 0;
    for (double v : values) n += static_cast<std::size_t>(FormatFixed6(out, v) - out);
    g_sink_n = n;
  });
  std::printf("%-40s %8.1f\n", "korvane::text::FormatFixed6", fixed);
  const double snprintf_f = NsPerOp(count, [&] {
    std::size_t n = 0;
    for (double v : values) n += static_cast<std::size_t>(std::snprintf(out, sizeof out, "%f", v));
    g_sink_n = n;
  });
  std::printf("%-40s %8.1f\n", "snprintf(\"%f\")", snprintf_f);
  const double to_string = NsPerOp(count, [&] {
    std::size_t n = 0;
    for (double v : values) n += std::to_string(v).size();
    g_sink_n = n;
  });
  std::printf("%-40s %8.1f\n", "std::to_string", to_string);
  const double general = NsPerOp(count, [&] {
    std::size_t n = 0;
    for (double v : values) n += static_cast<std::size_t>(FormatGeneral15(out, v) - out);
    g_sink_n = n;
  });
  std::printf("%-40s %8.1f\n", "korvane::text::FormatGeneral15", general);
  const double snprintf_g = NsPerOp(count, [&] {
    std::size_t n = 0;
    for (double v : values) {
      n += static_cast<std::size_t>(std::snprintf(out, sizeof out, "%.15g", v));
    }
    g_sink_n = n;
  });
  std::printf("%-40s %8.1f\n", "snprintf(\"%.15g\")", snprintf_g);
  const double to_chars_g = NsPerOp(count, [&] {
    std::size_t n = 0;
    for (double v : values) {
      n += static_cast<std::size_t>(
          std::to_chars(out, out + sizeof out, v, std::chars_format::general, 15).ptr - out);
    }
    g_sink_n = n;
  });
  std::printf("%-40s %8.1f\n", "std::to_chars(general, 15)", to_chars_g);
  return 0;
}
