// The fifteen commands behind the exports, callable from the command-line
// host and the tests exactly as the exports call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "api/command_list.h"

namespace korvane::api {

struct CommandArgs {
  const char* text = nullptr;
  double value = 0.0;
  char* buf1 = nullptr;
  std::int32_t size1 = 0;
  char* buf2 = nullptr;
  std::int32_t size2 = 0;
  std::intptr_t data = 0;

  // A null text reads as the empty string.
  std::string Text() const { return text != nullptr ? std::string(text) : std::string(); }
};

using CommandFn = void (*)(const CommandArgs&);

struct CommandInfo {
  const char* name;
  CommandFn fn;
};

#define KORVANE_COUNT_COMMAND(name, body) +1
inline constexpr int kCommandCount = 0 KORVANE_COMMANDS(KORVANE_COUNT_COMMAND);
#undef KORVANE_COUNT_COMMAND
static_assert(kCommandCount == 15, "the exports are fifteen commands");

// In list order, which is also ordinal order.
extern const CommandInfo kCommands[kCommandCount];

// The command of that exact name, or nullptr.
const CommandInfo* FindCommand(std::string_view name);

// Runs a command the way every export does: any error raised inside it is
// caught and shown in a message box captioned with the command's name, so the
// host process never ends because of the library. Returns true when the
// command finished without such an error.
bool RunCommand(const CommandInfo& command, const CommandArgs& args) noexcept;

// The command bodies.
void ApplyALMatrix(const CommandArgs& args);
void ApplyALMatrixInverse(const CommandArgs& args);
void ApplyMatrix(const CommandArgs& args);
void ApplyMatrixInverse(const CommandArgs& args);
void CalcMatrix(const CommandArgs& args);
void NoOperation(const CommandArgs& args);
void LoadMatrixOverwrite(const CommandArgs& args);
void SaveMatrix(const CommandArgs& args);
void SetAutoLodingDirectory(const CommandArgs& args);
void SetWorkingDirectory(const CommandArgs& args);
void ShowStatus(const CommandArgs& args);
void Version(const CommandArgs& args);

}  // namespace korvane::api
