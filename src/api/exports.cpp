// The fifteen exported commands. Each is a thin shell around RunCommand, so
// that nothing raised inside a command crosses into the host.
#include "korvane/korvane.h"

#include "api/commands.h"

namespace {

float Dispatch(int index, const char* text, double value, char* buf1, int32_t size1, char* buf2,
               int32_t size2, intptr_t data) {
  korvane::CommandArgs args{text, value, buf1, size1, buf2, size2, data};
  korvane::RunCommand(korvane::kCommands[index], args);
  // A float zero with all bits clear: hosts reading a double also see 0.0.
  return 0.0f;
}

}  // namespace

#define KORVANE_EXPORT(name, index)                                                       \
  extern "C" KORVANE_API float name(const char* text, double value, char* buf1,            \
                                    int32_t size1, char* buf2, int32_t size2,              \
                                    intptr_t data) {                                       \
    return Dispatch(index, text, value, buf1, size1, buf2, size2, data);                   \
  }

KORVANE_EXPORT(ApplyALMatrix, 0)
KORVANE_EXPORT(ApplyALMatrixInverse, 1)
KORVANE_EXPORT(ApplyMatrix, 2)
KORVANE_EXPORT(ApplyMatrixInverse, 3)
KORVANE_EXPORT(CalcMatrix, 4)
KORVANE_EXPORT(ClearObject, 5)
KORVANE_EXPORT(LoadMatrixComposite, 6)
KORVANE_EXPORT(LoadMatrixOverwrite, 7)
KORVANE_EXPORT(SaveMatrix, 8)
KORVANE_EXPORT(SetAutoLodingDirectory, 9)
KORVANE_EXPORT(SetBaseObject, 10)
KORVANE_EXPORT(SetTransformedObject, 11)
KORVANE_EXPORT(SetWorkingDirectory, 12)
KORVANE_EXPORT(ShowStatus, 13)
KORVANE_EXPORT(Version, 14)
