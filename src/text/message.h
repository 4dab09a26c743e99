// Text shown to the user, kept with the code page of each piece.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvane::text {

// Message text assembled from pieces of two kinds: the library's own texts
// (code page 932 bytes) and bytes that came from the host or the file system
// (system ANSI code page). Each piece is converted from its own code page when
// shown, so boxes read correctly whatever the system locale.
class Message {
 public:
  enum class Encoding { cp932, ansi };
  struct Piece {
    std::string bytes;
    Encoding encoding;
  };

  Message() = default;
  // Convenience: a message that is one piece of the library's own text.
  Message(std::string_view own) { Own(own); }  // NOLINT(google-explicit-constructor)
  Message(const char* own) { Own(own); }       // NOLINT(google-explicit-constructor)

  Message& Own(std::string_view cp932) {
    pieces_.push_back({std::string(cp932), Encoding::cp932});
    return *this;
  }
  Message& Host(std::string_view ansi) {
    pieces_.push_back({std::string(ansi), Encoding::ansi});
    return *this;
  }
  Message& Append(const Message& other) {
    pieces_.insert(pieces_.end(), other.pieces_.begin(), other.pieces_.end());
    return *this;
  }
  const std::vector<Piece>& pieces() const { return pieces_; }

 private:
  std::vector<Piece> pieces_;
};

}  // namespace korvane::text
