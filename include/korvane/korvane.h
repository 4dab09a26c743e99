/* Korvane: measure a similarity motion between two meshes and replay it.
 *
 * Every command has one signature and returns a float 0.0 whose bits are all
 * zero (so a host reading a double also sees 0.0). Results never signal
 * success or failure: trouble is shown to the user in a message box. Meshes
 * and matrices are exchanged as files in the working directory, which the
 * host sets with SetWorkingDirectory and which should end with a separator
 * ("C:\\work\\"). Call the commands one at a time from one thread.
 */
#ifndef KORVANE_KORVANE_H
#define KORVANE_KORVANE_H

#include <stdint.h>

#include "korvane/version.h"

#ifndef KORVANE_API
#define KORVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* text: command input (path, directory or object name, ANSI code page);
 * value: only ApplyMatrix reads it; buf1/size1: never touched;
 * buf2/size2: only Version writes there; data: ignored. */
typedef float (*KorvaneCommand)(const char* text, double value, char* buf1, int32_t size1,
                                char* buf2, int32_t size2, intptr_t data);

/* Applies the object's own matrix from the auto-loading directory, else its
 * default.matrix, else the working directory's active.matrix. */
KORVANE_API float ApplyALMatrix(const char* text, double value, char* buf1, int32_t size1,
                                char* buf2, int32_t size2, intptr_t data);
/* As ApplyALMatrix, with the inverse of the chosen matrix. */
KORVANE_API float ApplyALMatrixInverse(const char* text, double value, char* buf1, int32_t size1,
                                       char* buf2, int32_t size2, intptr_t data);
/* target.obj -> applied.obj, moved by the matrix file `text` (or active.matrix
 * when `text` names no file); value < 0 applies the inverse. */
KORVANE_API float ApplyMatrix(const char* text, double value, char* buf1, int32_t size1, char* buf2,
                              int32_t size2, intptr_t data);
/* ApplyMatrix with value -1.0. */
KORVANE_API float ApplyMatrixInverse(const char* text, double value, char* buf1, int32_t size1,
                                     char* buf2, int32_t size2, intptr_t data);
/* base.obj + transformed.obj -> active.matrix; prints the topology line. */
KORVANE_API float CalcMatrix(const char* text, double value, char* buf1, int32_t size1, char* buf2,
                             int32_t size2, intptr_t data);
/* Does nothing (kept for hosts that call it). */
KORVANE_API float ClearObject(const char* text, double value, char* buf1, int32_t size1, char* buf2,
                              int32_t size2, intptr_t data);
/* Does nothing (kept for hosts that call it). */
KORVANE_API float LoadMatrixComposite(const char* text, double value, char* buf1, int32_t size1,
                                      char* buf2, int32_t size2, intptr_t data);
/* Copies a .matrix file the user picks over active.matrix. */
KORVANE_API float LoadMatrixOverwrite(const char* text, double value, char* buf1, int32_t size1,
                                      char* buf2, int32_t size2, intptr_t data);
/* Copies active.matrix to a file the user picks (offered as <object>.matrix). */
KORVANE_API float SaveMatrix(const char* text, double value, char* buf1, int32_t size1, char* buf2,
                             int32_t size2, intptr_t data);
/* Lets the user pick the auto-loading directory and records it. */
KORVANE_API float SetAutoLodingDirectory(const char* text, double value, char* buf1, int32_t size1,
                                         char* buf2, int32_t size2, intptr_t data);
/* Does nothing (kept for hosts that call it). */
KORVANE_API float SetBaseObject(const char* text, double value, char* buf1, int32_t size1,
                                char* buf2, int32_t size2, intptr_t data);
/* Does nothing (kept for hosts that call it). */
KORVANE_API float SetTransformedObject(const char* text, double value, char* buf1, int32_t size1,
                                       char* buf2, int32_t size2, intptr_t data);
/* Sets the working directory to `text`, byte for byte. */
KORVANE_API float SetWorkingDirectory(const char* text, double value, char* buf1, int32_t size1,
                                      char* buf2, int32_t size2, intptr_t data);
/* Shows version, working directory and auto-loading directory. */
KORVANE_API float ShowStatus(const char* text, double value, char* buf1, int32_t size1, char* buf2,
                             int32_t size2, intptr_t data);
/* Writes KORVANE_VERSION into buf2, never more than size2 bytes, always terminated. */
KORVANE_API float Version(const char* text, double value, char* buf1, int32_t size1, char* buf2,
                          int32_t size2, intptr_t data);

#ifdef __cplusplus
}
#endif

#endif
