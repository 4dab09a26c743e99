#include "test_support.h"

#include <dirent.h>
#include <iconv.h>

#include <algorithm>
#include <regex>

namespace korvane::testing {

std::vector<std::string> ScratchDir::Entries() const {
  std::vector<std::string> names;
  DIR* d = ::opendir(path_.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {
std::string Utf8FromCp932(const std::string& in) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  std::string out(in.size() * 3 + 1, '\0');
  char* src = const_cast<char*>(in.data());
  char* dst = out.data();
  std::size_t left = in.size(), room = out.size();
  const std::size_t done = iconv(cd, &src, &left, &dst, &room);
  iconv_close(cd);
  EXPECT_NE(done, static_cast<std::size_t>(-1)) << "not code page 932";
  out.resize(out.size() - room);
  return out;
}
}  // namespace

void ExpectJapanese(const text::Message& m, const std::vector<std::string>& allowed) {
  static const std::regex english("[a-z]{3,}");
  std::string ja;
  const text::Message in_japanese = m.In(text::Language::japanese);
  for (const auto& piece : in_japanese.pieces()) {
    if (piece.encoding != text::Message::Encoding::ansi) ja += piece.bytes;
  }
  std::string words = Utf8FromCp932(ja);
  for (const std::string& word : allowed)
    for (std::size_t at; (at = words.find(word)) != std::string::npos;)
      words.erase(at, word.size());
  EXPECT_FALSE(std::regex_search(words, english)) << words;
  EXPECT_EQ(m.pieces().empty(), ja.empty());
}

}  // namespace korvane::testing
