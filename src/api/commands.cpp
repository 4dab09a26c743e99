#include "api/commands.h"

#include <algorithm>
#include <cstring>

#include "api/globals.h"
#include "platform/platform.h"
#include "text/error.h"

namespace korvane::api {
namespace {

constexpr bool ByteLess(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const auto x = static_cast<unsigned char>(*a);
    const auto y = static_cast<unsigned char>(*b);
    if (x != y) return x < y;
    if (x == 0) return false;
  }
}

#define KORVANE_COMMAND_NAME(name, body) #name,
constexpr const char* kNames[] = {KORVANE_COMMANDS(KORVANE_COMMAND_NAME)};
#undef KORVANE_COMMAND_NAME

constexpr bool InOrdinalOrder() {
  for (int i = 1; i < kCommandCount; ++i) {
    if (!ByteLess(kNames[i - 1], kNames[i])) return false;
  }
  return true;
}
static_assert(InOrdinalOrder(), "ordinals follow the byte-wise order of the names");

}  // namespace

#define KORVANE_COMMAND_ENTRY(name, body) {#name, &body},
const CommandInfo kCommands[kCommandCount] = {KORVANE_COMMANDS(KORVANE_COMMAND_ENTRY)};
#undef KORVANE_COMMAND_ENTRY

const CommandInfo* FindCommand(std::string_view name) {
  for (const CommandInfo& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

bool RunCommand(const CommandInfo& command, const CommandArgs& args) noexcept {
  try {
    command.fn(args);
    return true;
  } catch (...) {
    const text::Message text = text::MessageOfCurrentException();
    try {
      platform::Current().ShowMessage(text::Message().Own(command.name), text);
    } catch (...) {
      // Nothing more can be done without risking the host.
    }
  }
  return false;
}

void NoOperation(const CommandArgs&) {}

void SetWorkingDirectory(const CommandArgs& args) { WorkDirectory() = args.Text(); }

void Version(const CommandArgs& args) {
  if (args.buf2 == nullptr || args.size2 <= 0) return;
  const std::size_t capacity = static_cast<std::size_t>(args.size2);
  const std::size_t n = std::min(std::strlen(kVersion), capacity - 1);
  std::memcpy(args.buf2, kVersion, n);
  args.buf2[n] = '\0';
}

}  // namespace korvane::api
