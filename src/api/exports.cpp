// The fifteen exported commands. Each is a thin shell around RunCommand, so
// that nothing raised inside a command crosses into the host.
#include <type_traits>

#include "api/commands.h"
#include "korvane/korvane.h"

namespace {

float Dispatch(int index, const char* text, double value, char* buf1, int32_t size1, char* buf2,
               int32_t size2, intptr_t data) {
  korvane::api::CommandArgs args{text, value, buf1, size1, buf2, size2, data};
  korvane::api::RunCommand(korvane::api::kCommands[index], args);
  // A float zero with all bits clear: hosts reading a double also see 0.0.
  return 0.0f;
}

enum : int {
#define KORVANE_COMMAND_INDEX(name, body) k##name,
  KORVANE_COMMANDS(KORVANE_COMMAND_INDEX)
#undef KORVANE_COMMAND_INDEX
};

}  // namespace

// Every listed command is declared in the public header with the one signature.
#define KORVANE_EXPORT(name, body)                                                             \
  static_assert(std::is_same_v<decltype(&::name), KorvaneCommand>);                            \
  extern "C" KORVANE_API float name(const char* text, double value, char* buf1, int32_t size1, \
                                    char* buf2, int32_t size2, intptr_t data) {                \
    return Dispatch(k##name, text, value, buf1, size1, buf2, size2, data);                     \
  }
KORVANE_COMMANDS(KORVANE_EXPORT)
#undef KORVANE_EXPORT
