#include "obj/mesh_io.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "text/error.h"
#include "text/numbers.h"

namespace korvane::obj {

MeshMotion::MeshMotion(const geometry::Matrix4& m)
    : linear(m.linear()), shift(m.translation()), normal(linear.inverse().transpose()) {
  mirrors = linear.determinant() < 0.0;
}

geometry::Vector3 MeshMotion::Normal(const geometry::Vector3& n) const {
  const geometry::Vector3 t = normal * n;
  const double length = t.norm();
  if (!(length > 0.0) || !std::isfinite(length)) return t;  // none (zero) stays none
  return t / length;
}

void CheckMovedInRange(const geometry::Vector3& before, const geometry::Vector3& after,
                       double limit, const std::string& path, std::uint64_t line) {
  for (int k = 0; k < 3; ++k) {
    if (std::isfinite(before[k]) && !(std::fabs(after[k]) <= limit)) {
      text::Message m = line > 0 ? text::AtLine(path, line) : text::Message().Host(path).Own(": ");
      m.Own(
          "the motion carries a vertex out of the range of the file's numbers; nothing was "
          "written");
      throw Error(Error::Kind::number_out_of_range, std::move(m), path, line);
    }
  }
}

NumberStyle NumberStyleOf(const ReplayStyle& style, int significant) {
  NumberStyle s;
  if (style.digitsChosen) {
    if (style.digits == ReplayStyle::kShortest) {
      s.shortest = true;
    } else {
      s.decimals = style.digits;
    }
    return s;
  }
  // Never fewer than a float carries: a motion applied to "1 2 3" must not be
  // rounded to whole numbers.
  s.significant = std::clamp(significant, 7, 17);
  return s;
}

int SignificantDigits(std::string_view token) {
  int digits = 0;
  bool leading = true;
  for (const char c : token) {
    if (c == 'e' || c == 'E') break;
    if (c < '0' || c > '9') continue;
    if (leading && c == '0') continue;
    leading = false;
    ++digits;
  }
  return std::max(digits, 1);
}

void AppendNumber(std::string& out, double value, const NumberStyle& style, bool scientific) {
  char buffer[400];
  char* const end = buffer + sizeof buffer;
  std::to_chars_result r;
  if (style.shortest) {
    r = std::to_chars(buffer, end, value);
  } else if (style.decimals >= 0) {
    r = std::to_chars(buffer, end, value, std::chars_format::fixed, style.decimals);
  } else if (scientific) {
    r = std::to_chars(buffer, end, value, std::chars_format::scientific, style.significant - 1);
  } else {
    r = std::to_chars(buffer, end, value, std::chars_format::general, style.significant);
  }
  out.append(buffer, r.ptr);
}

std::size_t Tokens(std::string_view line, std::string_view* tokens, std::size_t most) {
  std::size_t n = 0, i = 0;
  while (n < most) {
    while (i < line.size() && IsSpace(line[i])) ++i;
    if (i == line.size()) break;
    const std::size_t start = i;
    while (i < line.size() && !IsSpace(line[i])) ++i;
    tokens[n++] = line.substr(start, i - start);
  }
  return n;
}

bool TokenNumber(std::string_view token, double& value) {
  const text::ParseResult r = text::ParseDouble(token);
  value = r.value;
  return r.status == text::ParseStatus::ok && r.consumed == token.size();
}

bool RawLines::Next(std::string_view& line) {
  for (;;) {
    const char* const data = buffer_.data();
    const void* lf = std::memchr(data + scan_, '\n', end_ - scan_);
    if (lf != nullptr || (eof_ && pos_ < end_)) {
      const std::size_t stop =
          lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1 : end_;
      line = std::string_view(data + pos_, stop - pos_);
      pos_ = scan_ = stop;
      ++line_;
      return true;
    }
    if (eof_) return false;
    scan_ = end_;
    // Room for more: move the unread text to the front, or grow within the limit.
    if (pos_ > 0) {
      std::memmove(buffer_.data(), data + pos_, end_ - pos_);
      end_ -= pos_;
      scan_ -= pos_;
      pos_ = 0;
    }
    if (end_ == buffer_.size()) {
      if (buffer_.size() >= kMaxLinePiece) {
        ThrowBadLine(path_, line_ + 1, "the line is too long to be a line of this format");
      }
      buffer_.resize(buffer_.size() * 2);
    }
    const std::size_t got = in_.Read(buffer_.data() + end_, buffer_.size() - end_);
    if (got == 0) eof_ = true;
    end_ += got;
  }
}

Welder::Welder(std::vector<geometry::Vector3>& vertices, std::size_t expected)
    : vertices_(vertices) {
  std::size_t capacity = 64;
  while (capacity < 2 * expected) capacity *= 2;
  slots_.assign(capacity, 0);
  mask_ = capacity - 1;
}

namespace {
std::uint64_t Bits(double d) {
  d += 0.0;  // -0 as 0
  std::uint64_t u;
  std::memcpy(&u, &d, 8);
  return u;
}
std::size_t Hash(const geometry::Vector3& p) {
  std::uint64_t h = Bits(p.x()) * 0x9E3779B97F4A7C15ull;
  h ^= Bits(p.y()) + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
  h ^= Bits(p.z()) * 0xC2B2AE3D27D4EB4Full;
  h ^= h >> 29;
  return static_cast<std::size_t>(h * 0xBF58476D1CE4E5B9ull >> 17);
}
}  // namespace

std::uint32_t Welder::Index(const geometry::Vector3& p) {
  for (std::size_t i = Hash(p) & mask_;; i = (i + 1) & mask_) {
    const std::uint32_t s = slots_[i];
    if (s == 0) {
      if (vertices_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) {
        throw Error(Error::Kind::refused, text::Message("a mesh of more than 4 billion vertices"));
      }
      vertices_.push_back(p);
      const auto index = static_cast<std::uint32_t>(vertices_.size() - 1);
      slots_[i] = index + 1;
      if (2 * vertices_.size() > slots_.size()) Grow();
      return index;
    }
    if (vertices_[s - 1] == p) return s - 1;
  }
}

void Welder::Grow() {
  std::vector<std::uint32_t> old(slots_.size() * 2, 0);
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  for (const std::uint32_t s : old) {
    if (s == 0) continue;
    std::size_t i = Hash(vertices_[s - 1]) & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = s;
  }
}

std::size_t ReadFully(platform::InputFile& in, char* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const std::size_t got = in.Read(data + done, n - done);
    if (got == 0) break;
    done += got;
  }
  return done;
}

void ThrowBadFile(const std::string& path, const std::string& what) {
  throw Error(Error::Kind::refused, text::Message().Host(path).Own(": " + what), path);
}

void ThrowBadLine(const std::string& path, std::uint64_t line, const std::string& what) {
  throw Error(Error::Kind::refused, text::AtLine(path, line).Own(what), path, line);
}

void OpenMeshFile(platform::InputFile& in, const std::string& path) {
  if (!in.Open(path)) text::ThrowCannotOpen(path);
}

}  // namespace korvane::obj
