#include "obj/mesh_io.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "platform/platform.h"
#include "text/error.h"
#include "text/format_words.h"
#include "text/numbers.h"

namespace korvane::obj {

MeshMotion::MeshMotion(const geometry::Matrix4& m)
    : linear(m.linear()), shift(m.translation()), normal(linear.inverse().transpose()) {
  mirrors = linear.determinant() < 0.0;
}

void ThrowCarriedOutOfRange(const std::string& path, std::uint64_t line) {
  text::Message m = line > 0 ? text::AtLine(path, line) : text::Message().Host(path).Own(": ");
  m.Say(text::kMovedOutOfRange);
  throw Error(Error::Kind::number_out_of_range, std::move(m), path, line);
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

bool TextDigits::Raise(int& field, std::string_view token, const NumberStyle& written) const {
  if (prescanned || written.decimals >= 0 || written.shortest) return false;
  // No more digits than characters: such a token never starts the replay
  // again, and one that does carries more than it, so `field` ends the same.
  if (token.size() <= static_cast<std::size_t>(written.significant)) return false;
  const int digits = std::min(SignificantDigits(token), 17);
  field = std::max(field, digits);
  return digits > written.significant;
}

bool CanStartAgain(const std::string& output) {
  return output != platform::StandardOutputName() &&
         platform::ResolveOutputTarget(output).replaceable;
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

namespace {

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

char* Digits(char* out, std::uint64_t m, int count) {
  for (int k = count - 1; k >= 0; --k) {
    out[k] = static_cast<char>('0' + m % 10);
    m /= 10;
  }
  return out + count;
}

// `value` with `significant` digits (at most 10) as "%.*e" or "%.*g" would
// write it, through one scaling by an exact power of ten: the standard
// library's correctly rounded writer costs ten times as much, and the last
// digit may differ from it only where the value lies within a rounding of a
// tie. False when the value is out of this path's range.
char* FastSignificant(char* w, double value, int significant, bool scientific) {
  if (!std::isfinite(value) || value == 0.0 || significant > 10) return nullptr;
  const double a = std::fabs(value);
  if (!(a > 1e-200 && a < 1e200)) return nullptr;
  // The decimal exponent from the binary one (log10(2) = 0.30103...), set right below.
  std::uint64_t bits = 0;
  std::memcpy(&bits, &a, 8);
  const int binary = static_cast<int>(bits >> 52) - 1023;  // a is normal here
  int e = static_cast<int>(std::floor(binary * 0.30102999566398120));
  const auto scaled = [&](int exp10) {
    const int k = significant - 1 - exp10;
    if (k > 22 || k < -22) return -1.0;
    // Half away from zero: a tie is a value within a rounding of one anyway.
    return static_cast<double>(
        static_cast<std::uint64_t>((k >= 0 ? a * kPow10[k] : a / kPow10[-k]) + 0.5));
  };
  double m = scaled(e);
  const double low = kPow10[significant - 1], high = kPow10[significant];
  if (m >= high) m = scaled(++e);
  if (m >= 0.0 && m < low) m = scaled(--e);
  if (m >= high) {  // 9.99...5 rounded up to the next power of ten
    m = low;
  }
  if (!(m >= low && m < high)) return nullptr;
  const auto mantissa = static_cast<std::uint64_t>(m);
  if (value < 0) *w++ = '-';
  // The digits are written where they end up, then the point put among
  // them: copying them from a buffer of their own as a block would wait for
  // their stores one by one.
  if (!scientific && e >= -4 && e < significant) {
    // Fixed notation, trailing zeros after the point dropped (as %g does).
    if (e >= 0) {
      Digits(w, mantissa, significant);
      int last = significant;
      while (last > e + 1 && w[last - 1] == '0') --last;
      if (last > e + 1) {
        for (int k = last - 1; k > e; --k) w[k + 1] = w[k];
        w[e + 1] = '.';
        w += last + 1;
      } else {
        w += e + 1;
      }
    } else {
      *w++ = '0';
      *w++ = '.';
      for (int k = 0; k < -e - 1; ++k) *w++ = '0';
      Digits(w, mantissa, significant);
      int last = significant;
      while (last > 1 && w[last - 1] == '0') --last;
      w += last;
    }
  } else {
    Digits(w + 1, mantissa, significant);  // the first digit goes before the point
    int last = significant;
    if (!scientific) {
      while (last > 1 && w[last] == '0') --last;
    }
    w[0] = w[1];
    if (last > 1) {
      w[1] = '.';
      w += last + 1;
    } else {
      w += 1;
    }
    *w++ = 'e';
    *w++ = e < 0 ? '-' : '+';
    const int x = e < 0 ? -e : e;
    if (x >= 100) *w++ = static_cast<char>('0' + x / 100);
    *w++ = static_cast<char>('0' + x / 10 % 10);
    *w++ = static_cast<char>('0' + x % 10);
  }
  return w;
}

}  // namespace

char* WriteNumber(char* w, double value, const NumberStyle& style, bool scientific) {
  if (!style.shortest && style.decimals < 0) {
    char* const fast = FastSignificant(w, value, style.significant, scientific);
    if (fast != nullptr) return fast;
  }
  char buffer[kNumberRoom];
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
  const auto n = static_cast<std::size_t>(r.ptr - buffer);
  std::memcpy(w, buffer, n);
  return w + n;
}

void AppendNumber(std::string& out, double value, const NumberStyle& style, bool scientific) {
  char buffer[kNumberRoom];
  out.append(buffer, WriteNumber(buffer, value, style, scientific));
}

void TextOut::Grow(std::size_t n) {
  const std::size_t capacity = std::max(size_ + n, 2 * capacity_);
  std::unique_ptr<char[]> bigger(new char[capacity]);
  if (size_ > 0) std::memcpy(bigger.get(), bytes_.get(), size_);
  bytes_ = std::move(bigger);
  capacity_ = capacity;
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
        ThrowBadLine(path_, line_ + 1, text::Message().Say(text::kLineTooLong));
      }
      buffer_.resize(buffer_.size() * 2);
    }
    CheckNotStopped(path_);
    const std::size_t got = in_.Read(buffer_.data() + end_, buffer_.size() - end_);
    if (got == 0) eof_ = true;
    end_ += got;
  }
}

void TextBlocks::Reserve(Text& text, std::size_t capacity) {
  if (capacity <= text.capacity) return;
  capacity = std::max(capacity, 2 * text.capacity);
  std::unique_ptr<char[]> bigger(new char[capacity]);  // uninitialised: read over at once
  if (text.size > 0) std::memcpy(bigger.get(), text.bytes.get(), text.size);
  text.bytes = std::move(bigger);
  text.capacity = capacity;
}

std::size_t TextBlocks::LongLine(std::string_view text, std::size_t from) const {
  while (text.size() - from > longest_) {  // else no line there can be
    const std::size_t lf = text.find('\n', from);
    if (lf == std::string_view::npos || lf - from >= longest_) return from;
    from = lf + 1;
  }
  return std::string_view::npos;
}

void TextBlocks::Fill(Text& text, std::size_t want) {
  Reserve(text, want);
  while (text.size < want && !eof_) {
    CheckNotStopped(path_);
    const std::size_t got = in_.Read(text.bytes.get() + text.size, want - text.size);
    if (got == 0) eof_ = true;
    text.size += got;
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
        throw Error(Error::Kind::refused, text::Message().Say(text::kOverFourBillion));
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

void ThrowBadFile(const std::string& path, const text::Message& what) {
  throw Error(Error::Kind::refused, text::Message().Host(path).Own(": ").Append(what), path);
}

void ThrowBadLine(const std::string& path, std::uint64_t line, const text::Message& what) {
  throw Error(Error::Kind::refused, text::AtLine(path, line).Append(what), path, line);
}

void CheckNotStopped(const std::string& path) {
  if (platform::StopRequested()) {
    throw Error(Error::Kind::io, text::Message().Say(text::kInterruptedReading).Host(path), path);
  }
}

void OpenMeshFile(platform::InputFile& in, const std::string& path) {
  if (!in.Open(path)) text::ThrowCannotOpen(path);
}

}  // namespace korvane::obj
