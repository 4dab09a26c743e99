// The fifteen commands, once: X(export name, body in korvane::api). The
// exports, the command table and the ordinals (position + 1) all come from
// this list, which must stay in byte-wise alphabetical order of the names.
#pragma once

#define KORVANE_COMMANDS(X)                         \
  X(ApplyALMatrix, ApplyALMatrix)                   \
  X(ApplyALMatrixInverse, ApplyALMatrixInverse)     \
  X(ApplyMatrix, ApplyMatrix)                       \
  X(ApplyMatrixInverse, ApplyMatrixInverse)         \
  X(CalcMatrix, CalcMatrix)                         \
  X(ClearObject, NoOperation)                       \
  X(LoadMatrixComposite, NoOperation)               \
  X(LoadMatrixOverwrite, LoadMatrixOverwrite)       \
  X(SaveMatrix, SaveMatrix)                         \
  X(SetAutoLodingDirectory, SetAutoLodingDirectory) \
  X(SetBaseObject, NoOperation)                     \
  X(SetTransformedObject, NoOperation)              \
  X(SetWorkingDirectory, SetWorkingDirectory)       \
  X(ShowStatus, ShowStatus)                         \
  X(Version, Version)
