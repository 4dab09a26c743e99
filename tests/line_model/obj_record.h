// One OBJ line split at spaces, classified by its first token.
#pragma once

#include <string>
#include <vector>

#include "geometry/geometry.h"

namespace korvane::obj {

class ObjRecord {
 public:
  explicit ObjRecord(const std::string& line);

  const std::string& line() const { return line_; }
  const std::string& keyword() const { return keyword_; }
  const std::vector<std::string>& tokens() const { return tokens_; }
  bool IsVertex() const { return keyword_ == "v"; }

  // Coordinates of a "v" record, read as std::stod reads them (in any host
  // locale). Throws korvane::Error of kind invalid_number ("invalid stod
  // argument") or number_out_of_range ("stod argument out of range"); a "v"
  // line with fewer than three coordinates is an invalid number. On a
  // non-vertex record it throws the misuse text (kind misuse).
  geometry::Vector3 GetVertex() const;
  // Replaces tokens 1 to 3 by the "%f" texts of v; same misuse rule.
  void SetVertex(const geometry::Vector3& v);
  // Tokens each followed by one space; empty for a record without tokens.
  std::string ToString() const;

 private:
  std::string line_;
  std::string keyword_;
  std::vector<std::string> tokens_;
};

}  // namespace korvane::obj
