// Process-wide state: the version, the working directory and the fixed file
// names, and the two ways a file name is joined to the working directory.
#pragma once

#include <string>

#include "korvane/version.h"

namespace korvane::api {

inline constexpr char kVersion[] = KORVANE_VERSION;
inline constexpr char kBaseObjName[] = "base.obj";
inline constexpr char kTransformedObjName[] = "transformed.obj";
inline constexpr char kActiveMatrixName[] = "active.matrix";
inline constexpr char kTargetObjName[] = "target.obj";
inline constexpr char kAppliedObjName[] = "applied.obj";
inline constexpr char kDefaultMatrixName[] = "default.matrix";
inline constexpr char kRecordName[] = "ALDirectory.txt";

// Empty until the host sets it; the host passes it with a trailing separator.
std::string& WorkDirectory();

// Threads the commands read and write meshes with: 0 (the default) one per
// core, 1 the calling thread only. The command-line host sets it.
unsigned& ThreadCount();

// workDirectory immediately followed by `name` (base.obj, transformed.obj,
// target.obj, applied.obj, default.matrix).
std::string JoinDirect(const char* name);
// workDirectory, one separator, `name` (active.matrix, ALDirectory.txt). The
// separator is a backslash on Windows and '/' on Linux.
std::string JoinWithSeparator(const char* name);

}  // namespace korvane::api
