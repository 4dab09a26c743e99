#include "api/commands.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "api/globals.h"
#include "platform/error.h"
#include "platform/platform.h"

namespace korvane {

const CommandInfo kCommands[kCommandCount] = {
    {"ApplyALMatrix", &cmd::ApplyALMatrix},
    {"ApplyALMatrixInverse", &cmd::ApplyALMatrixInverse},
    {"ApplyMatrix", &cmd::ApplyMatrix},
    {"ApplyMatrixInverse", &cmd::ApplyMatrixInverse},
    {"CalcMatrix", &cmd::CalcMatrix},
    {"ClearObject", &cmd::NoOperation},
    {"LoadMatrixComposite", &cmd::NoOperation},
    {"LoadMatrixOverwrite", &cmd::LoadMatrixOverwrite},
    {"SaveMatrix", &cmd::SaveMatrix},
    {"SetAutoLodingDirectory", &cmd::SetAutoLodingDirectory},
    {"SetBaseObject", &cmd::NoOperation},
    {"SetTransformedObject", &cmd::NoOperation},
    {"SetWorkingDirectory", &cmd::SetWorkingDirectory},
    {"ShowStatus", &cmd::ShowStatus},
    {"Version", &cmd::Version},
};

const CommandInfo* FindCommand(std::string_view name) {
  for (const CommandInfo& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

namespace {

void Report(const char* command, const platform::Message& text) noexcept {
  try {
    platform::Current().ShowMessage(platform::Message().Own(command), text);
  } catch (...) {
    // Nothing more can be done without risking the host.
  }
}

}  // namespace

bool RunCommand(const CommandInfo& command, const CommandArgs& args) noexcept {
  try {
    command.fn(args);
    return true;
  } catch (const Error& e) {
    Report(command.name, e.message());
  } catch (const char* text) {
    Report(command.name, platform::Message().Own(text != nullptr ? text : ""));
  } catch (const std::bad_alloc&) {
    Report(command.name, platform::Message().Own("out of memory"));
  } catch (const std::exception& e) {
    Report(command.name, platform::Message().Own(e.what()));
  } catch (...) {
    Report(command.name, platform::Message().Own("unexpected error"));
  }
  return false;
}

namespace cmd {

void NoOperation(const CommandArgs&) {}

void SetWorkingDirectory(const CommandArgs& args) { WorkDirectory() = args.Text(); }

void Version(const CommandArgs& args) {
  if (args.buf2 == nullptr || args.size2 <= 0) return;
  const std::size_t capacity = static_cast<std::size_t>(args.size2);
  const std::size_t n = std::min(std::strlen(kVersion), capacity - 1);
  std::memcpy(args.buf2, kVersion, n);
  args.buf2[n] = '\0';
}

}  // namespace cmd
}  // namespace korvane
