// The HTML report of a measurement: one self-contained page (three.js and the
// data inline) that opens from disk without a network.
#pragma once

#include <Eigen/Dense>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "matrix/fit_report.h"
#include "obj/obj_mesh.h"

namespace korvane::cli {

struct ReportPageInput {
  // The report object exactly as `korvane calc --json` prints it (one JSON object).
  std::string report_json;
  // The files measured, as the user named them (UTF-8); empty: not shown.
  std::string base_name, moved_name;

  // The base mesh already carried by the measured matrix, its triangles (empty:
  // drawn as points) and each vertex's residual (same count as the vertices).
  std::vector<Eigen::Vector3d> base_vertices;
  std::vector<std::array<std::uint32_t, 3>> base_triangles;
  std::vector<double> base_residuals;

  // The moved mesh as read, and its triangles (empty: drawn as points).
  std::vector<Eigen::Vector3d> moved_vertices;
  std::vector<std::array<std::uint32_t, 3>> moved_triangles;

  // The three reference points of each mesh, the base's carried like its vertices.
  std::array<Eigen::Vector3d, 3> base_reference{};
  std::array<Eigen::Vector3d, 3> moved_reference{};

  // Larger meshes are thinned for the view to every k-th triangle (and only
  // the vertices those use), or every k-th point when a mesh has no triangles.
  std::size_t max_triangles = 250000;
  std::size_t max_points = 500000;
};

// Receives the page in consecutive pieces.
using ReportSink = std::function<void(std::string_view)>;

// Writes the page to `sink` piece by piece, so that a large page goes straight
// into its file (e.g. platform::AtomicOutput::Write) without a second copy in memory.
// Throws std::invalid_argument for inconsistent input (a residual count that is
// not the base vertex count, a triangle index past the vertices).
void WriteReportPage(const ReportPageInput& input, const ReportSink& sink);

// The whole page as one string (WriteReportPage into a string).
std::string BuildReportPage(const ReportPageInput& input);

// Writes the page of a measurement to `path`, all or nothing: the base mesh
// carried by the report's matrix, coloured by its residuals (the report must
// keep them: FitOptions::keepDistances), over the moved mesh.
void WriteFitPage(const std::string& path, const matrix::FitReport& report,
                  const std::string& base_name, const std::string& moved_name,
                  const std::string& report_json, const obj::Mesh& base, const obj::Mesh& moved);

}  // namespace korvane::cli
