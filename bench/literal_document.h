// The replay as the reference design describes it, step for step: a record
// object per line (its text, keyword and token strings), a document holding
// every line of the file and every vertex, a second pass that makes each
// record again, converts its numbers again and builds the whole output text,
// then one write. Slower than the streaming baseline in straightforward.h and
// held in memory whole; it is the "today's design, written literally" that
// the speed goals are stated against.
#pragma once

#include <Eigen/Geometry>
#include <string>

namespace korvane::baseline {

// Writes `target_path` moved by `m` to `output_path`. Throws
// std::runtime_error when a file cannot be opened, and what std::stod throws
// on a bad coordinate.
void ApplyLiteralDocument(const std::string& target_path, const std::string& output_path,
                          const Eigen::Affine3d& m);

}  // namespace korvane::baseline
