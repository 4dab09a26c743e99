// A fit's verdict in words: from the codes of its result (geometry/fit_result.h)
// to a message in the user's language. Hints say what to try next; each host
// words them for its own users (the command line names its flags).
#pragma once

#include "matrix/fit_report.h"
#include "text/message.h"

namespace korvane::matrix {

struct Hints {
  text::Phrase tryIcp;          // another fit than ICP missed
  text::Phrase moreIterations;  // ICP stopped at its limit: ": ..." ending the sentence
  text::Phrase pairsTellApart;  // an ambiguous fit: vertex order would decide
  text::Phrase trimOpen;        // " (" and the name of the trim, before its value
  text::Phrase trySimilarity;   // a rigid fit missed a copy of another size: "; ..."
  text::Phrase tryAffine;       // a rigid or similarity fit missed a stretched copy: "; ..."
  text::Phrase toleranceAuto;   // the copy is rougher than the tolerance given: " Try ..."
  text::Phrase trimAuto;        // a partial copy missed without a trim: " Try ..."
};
// The library's own: options in words (C++, Python, Blender).
extern const Hints kLibraryHints;

// One or two sentences: whether the motion fits (except where, and whether
// another fits as well), and if not the real reason and what to try.
text::Message VerdictMessage(const FitReport& report, const Hints& hints);
// What a fitting motion leaves to say beside its verdict (another vertex
// order, a flat base's stretch across it not measured); no pieces when
// nothing, or when it does not fit.
text::Message NoteMessage(const FitReport& report);

}  // namespace korvane::matrix
