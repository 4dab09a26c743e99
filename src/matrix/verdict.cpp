#include "matrix/verdict.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "text/verdict_words.h"

namespace korvane::matrix {
namespace {

// "95% of the base vertices land within P of the moved mesh's size from its surface".
void Judged(text::Message& m, const geometry::FitResult& f, const Hints& hints) {
  using namespace text;
  if (f.judgedShare < 1.0) {
    m.Say(kJudgedPart)
        .Own(text::ThreeDigits(100.0 * f.judgedShare))
        .Say(kJudgedPartShare)
        .Say(hints.trimOpen)
        .Own(text::ThreeDigits(1.0 - f.judgedShare))
        .Say(kJudgedPartEnd);
  } else {
    m.Say(kJudgedAll);
  }
  m.Own(text::ThreeDigits(f.judgedP95Relative))
      .Say(kOfSizeFrom)
      .Say(f.residuals.toSurface ? kToSurface : kToNearestVertex);
}

}  // namespace

const Hints kLibraryHints{text::kHintTryIcp,         text::kHintMoreIterations,
                          text::kHintPairsTellApart, text::kHintTrimOpen,
                          text::kHintTrySimilarity,  text::kHintTryAffine,
                          text::kHintToleranceAuto,  text::kHintTrimAuto};

text::Message VerdictMessage(const FitReport& report, const Hints& hints) {
  using namespace text;
  const geometry::FitResult& f = report.result;
  const bool try_icp = report.kind != geometry::FitKind::icp;
  Message m;
  if (f.fits) {
    m.Say(kFitsStart);
    if (f.outliers > 0) {
      const double share = static_cast<double>(f.outliers) /
                           static_cast<double>(std::max<std::size_t>(1, f.residuals.surface.count));
      m.Say(kFitsExcept)
          .Own(std::to_string(f.outliers))
          .Say(kExceptVertices)
          .Own(text::ThreeDigits(100.0 * share))
          .Say(kExceptShare)
          .Own(text::ThreeDigits(f.largestOutlier))
          .Say(kExceptSize)
          .Own(text::ThreeDigits(f.largestOutlier / f.residuals.surface.length))
          .Say(kExceptAway);
    }
    m.Say(kFitsColon);
    Judged(m, f, hints);
    m.Say(kToleranceOpen).Own(text::ThreeDigits(report.tolerance));
    if (f.toleranceAuto) m.Say(kToleranceAutomatic);
    m.Say(kToleranceClose);
    if (f.judgedShare < 1.0) {
      m.Say(kOverlapStart).Own(text::ThreeDigits(100.0 * f.overlap)).Say(kOverlapEnd);
      if (f.trimAuto) m.Say(kTrimAutomatic);
    }
    // The loose affine alternative is the last; the others are turns of a symmetric mesh.
    const std::size_t turns = f.alternatives.size() - (f.loose ? 1 : 0);
    if (f.ambiguous && turns > 0) {
      m.Say(kAmbiguousStart)
          .Own(std::to_string(turns))
          .Say(turns == 1 ? kAmbiguousOne : kAmbiguousMany)
          .Say(kAmbiguousEnd);
    }
    if (f.ambiguous && f.loose) m.Say(kLooseMotion);
    if (f.ambiguous) m.Say(hints.pairsTellApart);
    return m;
  }
  switch (f.shortfall) {
    case geometry::Shortfall::mirror_image:
      return m.Say(kMirrorImage);
    case geometry::Shortfall::size:
      return m.Say(kRigidSizeStart)
          .Own(text::ThreeDigits(f.fittingScale))
          .Say(kRigidSizeEnd)
          .Say(hints.trySimilarity);
    case geometry::Shortfall::stretched: {
      // Each stretch with its axis, largest first.
      const geometry::Stretch& s = f.stretch;
      m.Say(kStretchedStart);
      for (int k = 0; k < 3; ++k) {
        const geometry::Vector3 a = s.axes.col(k);
        m.Own(text::ThreeDigits(s.factors[k]))
            .Say(kStretchTimes)
            .Own("(" + text::ThreeDigits(a.x()) + ", " + text::ThreeDigits(a.y()) + ", " +
                 text::ThreeDigits(a.z()) + ")")
            .Say(k == 0   ? kStretchNext
                 : k == 1 ? kStretchLast
                          : kStretchEnd);
      }
      return m.Say(hints.tryAffine);
    }
    case geometry::Shortfall::scale:
      m.Say(kScaledStart).Own(text::ThreeDigits(f.scaleRatio)).Say(kScaledEnd);
      if (try_icp) m.Say(hints.tryIcp);
      return m;
    case geometry::Shortfall::coverage:
      m.Say(kCoverageStart)
          .Own(text::ThreeDigits(f.judgedReverseP95Relative))
          .Say(kCoverageMiddle)
          .Own(text::ThreeDigits(report.tolerance))
          .Say(kCoverageEnd);
      if (try_icp) m.Say(hints.tryIcp);
      return m;
    case geometry::Shortfall::none:
    case geometry::Shortfall::residual:
      break;
  }
  m.Say(kDoesNotFit);
  Judged(m, f, hints);
  m.Say(kMoreThanTolerance).Own(text::ThreeDigits(report.tolerance));
  if (f.toleranceAuto) m.Say(kToleranceAutomatic);
  m.Say(kMoreThanToleranceEnd);
  // What the motion's own evidence says would fit it, before any guess at a cause.
  if (f.remedy == geometry::Remedy::tolerance_auto) {
    const double size = f.residuals.surface.length;
    return m.Say(kRoughStart)
        .Own(text::ThreeDigits(size > 0.0 ? f.roughness.noise / size : 0.0))
        .Say(kRoughSpacing)
        .Own(text::ThreeDigits(size > 0.0 ? f.roughness.spacing / size : 0.0))
        .Say(kRoughNeeds)
        .Own(text::ThreeDigits(f.roughTolerance))
        .Say(kRoughEnd)
        .Say(hints.toleranceAuto);
  }
  if (f.remedy == geometry::Remedy::trim_auto) {
    return m.Say(kPartialStart)
        .Own(text::ThreeDigits(100.0 * (1.0 - f.remedyTrim)))
        .Say(kPartialShare)
        .Say(hints.trimOpen)
        .Own(text::ThreeDigits(f.remedyTrim))
        .Say(kToleranceClose)
        .Say(hints.trimAuto);
  }
  // A search cut short says nothing about the vertex order.
  if (f.hitIterationLimit) return m.Say(kIterationLimit).Say(hints.moreIterations);
  switch (f.likelyCause) {
    case geometry::LikelyCause::vertex_order_differs:
      m.Say(kCauseOrder);
      break;
    case geometry::LikelyCause::vertices_added_or_removed:
      m.Say(kCauseCount);
      break;
    case geometry::LikelyCause::not_a_similar_copy:
      m.Say(kCauseNotSimilar);
      break;
    case geometry::LikelyCause::none:
      break;
  }
  if (f.trimWouldFit > 0.0) {
    m.Say(kTrimWouldFitStart)
        .Own(text::ThreeDigits(100.0 * (1.0 - f.trimWouldFit)))
        .Say(kTrimWouldFitShare)
        .Say(hints.trimOpen)
        .Own(text::ThreeDigits(f.trimWouldFit))
        .Say(kTrimWouldFitEnd);
  }
  if (try_icp) m.Say(hints.tryIcp);
  return m;
}

text::Message NoteMessage(const FitReport& report) {
  const geometry::FitResult& f = report.result;
  text::Message m;
  // The outliers are in the verdict's own sentence; the order is worth a word apart.
  if (f.fits && f.likelyCause == geometry::LikelyCause::vertex_order_differs)
    m.Say(text::kNoteOrder);
  if (f.fits && f.flatBase) {
    if (!m.pieces().empty()) m.Own(" ");
    m.Say(text::kNoteFlatBase);
  }
  return m;
}

}  // namespace korvane::matrix
