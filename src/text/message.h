// Text shown to the user, kept with the code page of each piece.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::text {

// A text the library says in the user's language: English, and Japanese as
// code page 932 bytes. The texts are in catalogue.h.
struct Phrase {
  std::string_view english;
  std::string_view japanese;
};

enum class Language { english, japanese };

// A measured number as a message shows it: three significant digits ("%.3g").
inline std::string ThreeDigits(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", x);
  return buf;
}

// Message text assembled from pieces of three kinds: the library's own texts
// (code page 932 bytes), bytes that came from the host or the file system
// (system ANSI code page), and phrases, whose language is chosen when the
// message is shown. Each piece is converted from its own code page when
// shown, so boxes read correctly whatever the system locale.
class Message {
 public:
  enum class Encoding { cp932, ansi, phrase };
  struct Piece {
    std::string bytes;  // a phrase: its English text
    Encoding encoding;
    std::string japanese;  // a phrase: its Japanese text (code page 932)
  };

  Message() = default;
  // Convenience: a message that is one piece of the library's own text.
  Message(std::string_view own) { Own(own); }  // NOLINT(google-explicit-constructor)
  Message(const char* own) { Own(own); }       // NOLINT(google-explicit-constructor)

  Message& Own(std::string_view cp932) {
    pieces_.push_back({std::string(cp932), Encoding::cp932, {}});
    return *this;
  }
  Message& Host(std::string_view ansi) {
    pieces_.push_back({std::string(ansi), Encoding::ansi, {}});
    return *this;
  }
  Message& Say(const Phrase& phrase) {
    pieces_.push_back(
        {std::string(phrase.english), Encoding::phrase, std::string(phrase.japanese)});
    return *this;
  }
  Message& Append(const Message& other) {
    pieces_.insert(pieces_.end(), other.pieces_.begin(), other.pieces_.end());
    return *this;
  }
  const std::vector<Piece>& pieces() const { return pieces_; }

  // The same message with every phrase in `language`, as the library's own text.
  Message In(Language language) const {
    Message out;
    for (const Piece& p : pieces_) {
      if (p.encoding != Encoding::phrase) {
        out.pieces_.push_back(p);
      } else {
        out.Own(language == Language::japanese ? p.japanese : p.bytes);
      }
    }
    return out;
  }

 private:
  std::vector<Piece> pieces_;
};

}  // namespace korvane::text
