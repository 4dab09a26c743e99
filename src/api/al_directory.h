// The auto-loading directory record: ALDirectory.txt in the working
// directory, holding the directory path with no line end.
#pragma once

#include <string>

namespace korvane::api {

// The recorded directory: the record's first line (without CR LF), or empty
// when there is no record or it cannot be read.
std::string ReadALDirectory();

// Records `dir` when it exists (false otherwise, the record unchanged). The
// record is replaced all at once; a failure to write throws korvane::Error.
bool WriteALDirectory(const std::string& dir);

}  // namespace korvane::api
