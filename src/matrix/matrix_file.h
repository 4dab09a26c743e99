// The matrix text file: four lines, row by row, each coefficient as "%.15g"
// right-aligned to the width of the longest of the sixteen, one space
// between fields, a line end after every line.
#pragma once

#include <string>
#include <string_view>

#include "geometry/geometry.h"

namespace korvane::matrix {

// The file text with `newline` after each of the four lines.
std::string FormatMatrixText(const geometry::Matrix4& m, std::string_view newline = "\n");

// Writes the file with the platform's line ends, all or nothing.
void WriteMatrixFile(const std::string& path, const geometry::Matrix4& m);

// Gathers the file's lines, each followed by "\n" (a CR LF pair counts as one
// line end), without a UTF-8 byte-order mark before the first. Raises
// Error::Kind::cannot_open when the file cannot be opened; UTF-16 text is refused.
std::string ReadMatrixFile(const std::string& path);

// Rows from the first four lines, numbers split at spaces and read as
// std::stod reads them (at most four a line); coefficients the text does not
// give keep their identity values. Conversion errors raise korvane::Error
// naming `source_name` and the line. `numbers`, when given, receives how many
// coefficients the text gave.
geometry::Matrix4 ParseMatrixText(std::string_view text, const std::string& source_name = "matrix",
                                  int* numbers = nullptr);

// The strict reading, for the command-line host and the C++ interface (the DLL's commands keep the
// lenient one above): four lines of exactly four finite numbers separated by spaces, nothing but
// blank lines after them. Anything else is refused with korvane::Error naming `source_name` and
// the line and saying how to write the file. A file it accepts gives the same matrix read either
// way.
geometry::Matrix4 ParseMatrixTextStrict(std::string_view text, const std::string& source_name);

// The file at `path` read whole (up to 256 MiB) and parsed strictly.
geometry::Matrix4 ReadMatrixFileStrict(const std::string& path);

}  // namespace korvane::matrix
