#include "api/al_directory.h"

#include "api/globals.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "text/error.h"

namespace korvane::api {

std::string ReadALDirectory() {
  const std::string path = JoinWithSeparator(kRecordName);
  if (!platform::Current().PathExists(path)) return {};
  std::string content;
  try {
    // Only the first line counts; a directory path is never longer than this.
    bool complete = true;
    if (!platform::ReadLeadingLines(path, 1, std::size_t{1} << 16, content, complete)) return {};
  } catch (const Error&) {
    return {};  // an unreadable record means no directory
  }
  std::string::size_type end = content.find('\n');
  if (end == std::string::npos) return content;
  if (end > 0 && content[end - 1] == '\r') --end;
  content.resize(end);
  return content;
}

bool WriteALDirectory(const std::string& dir) {
  if (!platform::Current().PathExists(dir)) return false;
  platform::WriteFileAtomically(JoinWithSeparator(kRecordName), dir);
  return true;
}

}  // namespace korvane::api
