// The static parts of the report page, generated from web/ by web/build.mjs
// at build time: the page is kPageHead, the data element's JSON, kPageTail.
#pragma once

#include <cstddef>

namespace korvane::cli::report_assets {

extern const unsigned char kPageHead[];
extern const std::size_t kPageHeadSize;
extern const unsigned char kPageTail[];
extern const std::size_t kPageTailSize;

}  // namespace korvane::cli::report_assets
