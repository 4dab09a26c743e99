// The compiled half of the Python package: thin calls into libKorvane.so that
// release the GIL while the library works. Argument checks that Python states
// best (types, defaults, paths) are done in korvane/__init__.py; what is
// checked here is what keeps memory safe whatever the caller passes.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <string>

#include "korvane/korvane.hpp"

namespace py = pybind11;

namespace {

// korvane.Error, defined in Python so that it pickles with its fields (a
// Dask worker's failure reaches the client whole). Held for the process's
// life: the translator may run while the interpreter shuts down.
PyObject* error_type = nullptr;

py::str DecodeUtf8(const std::string& s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

// Paths are bytes on Linux; undecodable bytes come back as os.fsdecode gives them.
py::object DecodePath(const std::string& s) {
  if (s.empty()) return py::none();
  PyObject* o = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

void RaiseError(const korvane::Failure& f) {
  py::object line = f.line() == 0 ? py::object(py::none()) : py::object(py::int_(f.line()));
  py::object err = py::reinterpret_borrow<py::object>(error_type)(
      DecodeUtf8(f.what()), DecodePath(f.file()), line, korvane::ErrorKindName(f.kind()));
  PyErr_SetObject(error_type, err.ptr());
}

korvane::Matrix4x4 ToMatrix(const py::handle& matrix) {
  const auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(matrix);
  if (!a || a.ndim() != 2 || a.shape(0) != 4 || a.shape(1) != 4)
    throw py::value_error("a motion is a 4x4 matrix of numbers");
  korvane::Matrix4x4 m{};
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j)
      m[i][j] = a.at(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(j));
  }
  return m;
}

py::array_t<double> FromMatrix(const korvane::Matrix4x4& m) {
  py::array_t<double> out({4, 4});
  auto w = out.mutable_unchecked<2>();
  for (py::ssize_t i = 0; i < 4; ++i) {
    for (py::ssize_t j = 0; j < 4; ++j)
      w(i, j) = m[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
  }
  return out;
}

// An (n, 3) float64 array in C order, as the library reads and writes points.
std::size_t PointCount(const py::array& a, const char* name, bool writable) {
  if (!py::isinstance<py::array_t<double>>(a) || a.ndim() != 2 || a.shape(1) != 3 ||
      !(a.flags() & py::array::c_style))
    throw py::value_error(std::string(name) + " must be a C-contiguous (n, 3) float64 array");
  if (writable && !a.writeable()) throw py::value_error(std::string(name) + " is read-only");
  return static_cast<std::size_t>(a.shape(0));
}

py::array_t<double> Vector(const korvane::Vec3& v) {
  py::array_t<double> out(3);
  std::memcpy(out.mutable_data(), v.data(), sizeof(double) * 3);
  return out;
}

py::dict Residual(const korvane::Residual& r) {
  py::dict d;
  d["count"] = r.count;
  d["rms"] = r.rms;
  d["median"] = r.median;
  d["p95"] = r.p95;
  d["max"] = r.max;
  py::dict rel;
  rel["rms"] = r.rms_relative;
  rel["median"] = r.median_relative;
  rel["p95"] = r.p95_relative;
  rel["max"] = r.max_relative;
  d["relative"] = rel;
  return d;
}

py::dict Report(const korvane::MotionReport& r) {
  py::dict d;
  d["matrix"] = FromMatrix(r.matrix);
  d["scale"] = r.scale;
  d["axis"] = Vector(r.rotation_axis);
  d["degrees"] = r.rotation_degrees;
  d["translation"] = Vector(r.translation);
  d["same_topology"] = r.same_topology;
  d["base_vertices"] = r.base_vertices;
  d["moved_vertices"] = r.moved_vertices;
  if (r.has_reference) {
    py::list base, moved;
    for (const auto& v : r.base_reference) base.append(v.index);
    for (const auto& v : r.moved_reference) moved.append(v.index);
    d["reference"] = py::make_tuple(base, moved);
  } else {
    d["reference"] = py::none();
  }
  d["surface"] = Residual(r.surface);
  d["to_surface"] = r.to_surface;
  d["paired"] = r.paired.count > 0 ? py::object(Residual(r.paired)) : py::object(py::none());
  d["reverse"] = r.reverse.count > 0 ? py::object(Residual(r.reverse)) : py::object(py::none());
  d["fits"] = r.fits;
  d["ambiguous"] = r.ambiguous;
  d["note"] = r.note.empty() ? py::object(py::none()) : py::object(DecodeUtf8(r.note));
  d["json"] = DecodeUtf8(r.json);
  d["cause"] = r.cause.empty() ? py::object(py::none()) : py::object(DecodeUtf8(r.cause));
  d["message"] = DecodeUtf8(r.message);
  d["iterations"] = r.iterations;
  d["fit"] = korvane::FitName(r.fit_used);
  py::list tried;
  for (const korvane::Fit f : r.tried) tried.append(korvane::FitName(f));
  d["tried"] = tried;
  return d;
}

korvane::MeasureOptions Options(const std::string& fit, double tolerance, double trim,
                                int max_iterations, unsigned jobs, const std::string& motion,
                                bool allow_mirror, bool auto_tolerance, bool auto_trim) {
  korvane::MeasureOptions o;
  if (!korvane::FitByName(fit, o.fit))
    throw py::value_error("fit must be 'auto', 'three-point', 'least-squares' or 'icp', not '" +
                          fit + "'");
  o.tolerance = tolerance;
  o.trim = trim;
  o.max_iterations = max_iterations;
  o.threads = jobs;
  if (!korvane::MotionByName(motion, o.motion)) {
    std::string names;
    for (const korvane::Motion m : korvane::Motions())
      names += std::string(names.empty() ? "'" : ", '") + korvane::MotionName(m) + "'";
    throw py::value_error("motion must be one of " + names + ", not '" + motion + "'");
  }
  o.allow_mirror = allow_mirror;
  o.auto_tolerance = auto_tolerance;
  o.auto_trim = auto_trim;
  return o;
}

py::dict MeasureFiles(const std::string& base, const std::string& moved, const std::string& fit,
                      double tolerance, double trim, int max_iterations, unsigned jobs,
                      const std::string& motion, bool allow_mirror, bool auto_tolerance,
                      bool auto_trim) {
  const korvane::MeasureOptions o = Options(fit, tolerance, trim, max_iterations, jobs, motion,
                                            allow_mirror, auto_tolerance, auto_trim);
  korvane::MotionReport r;
  {
    py::gil_scoped_release release;
    r = korvane::MeasureMotion(base, moved, o);
  }
  return Report(r);
}

korvane::MeshView View(const py::array& points, const char* name) {
  korvane::MeshView v;
  v.vertices = PointCount(points, name, false);
  v.xyz = static_cast<const double*>(points.data());
  return v;
}

using Triangles = py::array_t<std::uint32_t, py::array::c_style>;

// `faces` (None or (m, 3) vertex numbers) as the view's triangles, kept alive by `holder`.
void AddFaces(korvane::MeshView& v, const py::object& faces, const char* name, Triangles& holder) {
  if (faces.is_none()) return;
  holder = Triangles::ensure(faces);
  if (!holder || holder.ndim() != 2 || holder.shape(1) != 3)
    throw py::value_error(std::string(name) + " must be an (m, 3) array of vertex numbers");
  v.triangles = holder.data();
  v.triangle_count = static_cast<std::size_t>(holder.shape(0));
  for (std::size_t i = 0; i < v.triangle_count * 3; ++i) {
    if (v.triangles[i] >= v.vertices)
      throw py::value_error(std::string(name) + " name vertex " + std::to_string(v.triangles[i]) +
                            " of a mesh with " + std::to_string(v.vertices));
  }
}

py::dict MeasureArrays(const py::array& base, const py::array& moved, const py::object& faces,
                       const py::object& base_faces, const std::string& fit, double tolerance,
                       double trim, int max_iterations, unsigned jobs, const std::string& motion,
                       bool allow_mirror, bool auto_tolerance, bool auto_trim) {
  const korvane::MeasureOptions o = Options(fit, tolerance, trim, max_iterations, jobs, motion,
                                            allow_mirror, auto_tolerance, auto_trim);
  korvane::MeshView b = View(base, "base");
  korvane::MeshView m = View(moved, "moved");
  Triangles moved_holder, base_holder;
  AddFaces(m, faces, "faces", moved_holder);
  AddFaces(b, base_faces, "base_faces", base_holder);
  korvane::MotionReport r;
  {
    py::gil_scoped_release release;
    r = korvane::MeasureMotion(b, m, o);
  }
  return Report(r);
}

void Transform(const py::handle& matrix, const py::array& points, py::array out, bool inverse,
               unsigned jobs) {
  const std::size_t n = PointCount(points, "points", false);
  if (PointCount(out, "out", true) != n)
    throw py::value_error("out must have as many points as points");
  korvane::Matrix4x4 m = ToMatrix(matrix);
  const auto* in = static_cast<const double*>(points.data());
  auto* to = static_cast<double*>(out.mutable_data());
  // The library moves points in place or between separate buffers, nothing between.
  const auto* to_end = reinterpret_cast<const char*>(to + 3 * n);
  const auto* in_end = reinterpret_cast<const char*>(in + 3 * n);
  if (in != to && reinterpret_cast<const char*>(to) < in_end &&
      reinterpret_cast<const char*>(in) < to_end)
    throw py::value_error("out overlaps points without being points itself");
  py::gil_scoped_release release;
  if (inverse) m = korvane::InverseMotion(m);
  korvane::TransformPoints(m, in, to, n, jobs);
}

// The vertices moved and the warnings, as `korvane apply --json` lists them.
py::tuple Replay(const py::handle& matrix, const std::string& input, const std::string& output,
                 bool gltf_nodes, bool force) {
  const korvane::Matrix4x4 m = ToMatrix(matrix);
  korvane::ReplayOptions options;
  options.gltfNodes = gltf_nodes;
  options.force = force;
  korvane::ReplayReport r;
  {
    py::gil_scoped_release release;
    r = korvane::ReplayMotion(m, input, output, options);
  }
  py::list warnings;
  for (const korvane::ReplayWarning& w : r.warnings) {
    py::dict d;
    d["kind"] = w.kind;
    d["count"] = w.count;
    d["file"] = DecodePath(w.file);
    d["line"] = w.line;
    d["message"] = DecodeUtf8(w.message);
    warnings.append(d);
  }
  return py::make_tuple(r.vertices, warnings);
}

py::array_t<double> Inverse(const py::handle& matrix) {
  const korvane::Matrix4x4 m = ToMatrix(matrix);
  korvane::Matrix4x4 inverse;
  {
    py::gil_scoped_release release;
    inverse = korvane::InverseMotion(m);
  }
  return FromMatrix(inverse);
}

py::array_t<double> LoadMotion(const std::string& path, bool inverse) {
  korvane::Matrix4x4 m;
  {
    py::gil_scoped_release release;
    m = korvane::LoadMotion(path, inverse);
  }
  return FromMatrix(m);
}

py::array_t<double> ReadMatrix(const std::string& path) {
  korvane::Matrix4x4 m;
  {
    py::gil_scoped_release release;
    m = korvane::ReadMatrixFile(path);
  }
  return FromMatrix(m);
}

void WriteMatrix(const std::string& path, const py::handle& matrix, bool force) {
  const korvane::Matrix4x4 m = ToMatrix(matrix);
  py::gil_scoped_release release;
  korvane::WriteMatrixFile(path, m, force);
}

void CheckOutput(const std::string& output, const std::vector<std::string>& reads, bool force) {
  py::gil_scoped_release release;
  korvane::CheckOutput(output, reads, force);
}

py::dict Decompose(const py::handle& matrix) {
  const korvane::MotionParts p = korvane::Decompose(ToMatrix(matrix));
  py::dict d;
  d["scale"] = p.scale;
  d["axis"] = Vector(p.rotation_axis);
  d["degrees"] = p.rotation_degrees;
  d["translation"] = Vector(p.translation);
  d["kind"] = p.kind;
  d["mirror"] = p.mirror;
  d["stretches"] = Vector(p.stretches);
  py::array_t<double> axes({3, 3});
  for (std::size_t i = 0; i < 3; ++i)
    std::memcpy(axes.mutable_data(static_cast<py::ssize_t>(i)), p.stretch_axes[i].data(),
                sizeof(double) * 3);
  d["axes"] = axes;
  d["shear"] = Vector(p.shear);
  return d;
}

}  // namespace

PYBIND11_MODULE(_korvane, m) {
  m.doc() = "The compiled calls of the korvane package; use korvane itself.";
  m.attr("__version__") = KORVANE_VERSION;

  py::object error = py::module_::import("korvane._error").attr("Error");
  error_type = error.release().ptr();
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const korvane::Failure& f) {
      RaiseError(f);
    }
  });

  // Paths arrive as bytes (os.fsencode), passed to the library unchanged.
  m.def("measure_files", &MeasureFiles);
  m.def("measure_arrays", &MeasureArrays);
  m.def("transform", &Transform);
  m.def("replay", &Replay, py::arg("matrix"), py::arg("input"), py::arg("output"),
        py::arg("gltf_nodes") = false, py::arg("force") = false);
  m.def("inverse", &Inverse);
  m.def("read_matrix", &ReadMatrix);
  m.def("load_motion", &LoadMotion);
  m.def("write_matrix", &WriteMatrix);
  m.def("check_output", &CheckOutput);
  m.def("decompose", &Decompose);

  // The library's defaults, limits, fits and report keys: Python and Blender
  // read them here and restate none of them.
  const korvane::FitDefaults d = korvane::Defaults();
  py::dict defaults;
  defaults["tolerance"] = d.tolerance;
  defaults["icp_trim"] = d.icp_trim;
  defaults["most_trim"] = d.most_trim;
  defaults["max_iterations"] = d.max_iterations;
  m.attr("defaults") = defaults;
  py::list fits;
  for (const korvane::Fit f : korvane::Fits())
    fits.append(py::make_tuple(korvane::FitName(f), korvane::FitDescription(f)));
  m.attr("fits") = fits;
  py::list motions;
  for (const korvane::Motion mo : korvane::Motions())
    motions.append(py::make_tuple(korvane::MotionName(mo), korvane::MotionDescription(mo)));
  m.attr("motions") = motions;
  py::list keys;
  for (const std::string& k : korvane::ReportKeys()) keys.append(k);
  m.attr("report_keys") = keys;
}
