// The replay written the plain way: std::getline, a vector of token strings
// per line, std::stod and std::to_string. It is the speed baseline for the
// benchmarks and the oracle the differential test holds the library to, so it
// stays deliberately simple; only its bytes matter, never its speed.
#pragma once

#include <Eigen/Geometry>
#include <string>
#include <vector>

namespace korvane::baseline {

// A line's non-empty pieces between space characters (0x20 only).
std::vector<std::string> SplitAtSpaces(const std::string& line);

// The motion in a matrix file's text: the first four '\n'-separated lines,
// up to four std::stod numbers each, row by row over the identity; inverted
// with Eigen when asked. Conversion errors propagate as std::stod throws them.
Eigen::Affine3d MatrixFromTextStraightforward(const std::string& text, bool inverse);

// The same from a file, with a CR LF pair read as one line end. Throws
// std::runtime_error when the file cannot be opened.
Eigen::Affine3d MatrixStraightforward(const std::string& path, bool inverse);

// The target's text with every line rewritten and every "v" line moved by
// `m`, each line ended by "\n". Throws std::runtime_error when the file
// cannot be opened, and what std::stod throws on a bad coordinate (a missing
// coordinate converts as an empty string would).
std::string ApplyStraightforward(const std::string& target_path, const Eigen::Affine3d& m);

// As ApplyStraightforward, written line by line to `output_path`.
void ApplyStraightforwardToFile(const std::string& target_path, const std::string& output_path,
                                const Eigen::Affine3d& m);

// The (x, y, z) of every "v" line, in file order; errors as above.
std::vector<Eigen::Vector3d> VerticesStraightforward(const std::string& path);

}  // namespace korvane::baseline
