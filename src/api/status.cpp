#include "api/status.h"

#include "api/al_directory.h"
#include "api/commands.h"
#include "api/globals.h"
#include "platform/platform.h"

namespace korvane::api {

std::string BuildStatusText() {
  std::string text;
  text += "Version\n";
  text += kVersion;
  text += "\n\nworkDirectory\n";
  text += WorkDirectory();
  text += "\n\nALDir\n";
  text += ReadALDirectory();
  text += "\n\n";
  return text;
}

void ShowStatus(const CommandArgs&) {
  const std::string text = BuildStatusText();
  // The directories are host bytes; the labels are plain ASCII either way.
  platform::Current().ShowMessage(text::Message().Own("status"), text::Message().Host(text));
}

}  // namespace korvane::api
