# Licence texts of what the Windows binaries carry inside them (the static
# runtime and the header-only libraries), shipped in the ZIP's licenses/
# folder. One entry a line: the name in the package = the text on a Debian
# build machine. Add a line when something new is built in.
set(KORVANE_THIRD_PARTY_LICENSES
  # libgcc, libstdc++: GPL 3 with the GCC Runtime Library Exception (its text is
  # in the first file, the GPL's in the second)
  "GCC-runtime-libstdc++.txt=/usr/share/doc/gcc-mingw-w64-base/copyright"
  "GPL-3.txt=/usr/share/common-licenses/GPL-3"
  # the MinGW-w64 C runtime and winpthreads
  "MinGW-w64-runtime-winpthreads.txt=/usr/share/doc/mingw-w64-common/copyright"
  # Eigen: MPL 2.0
  "Eigen.txt=/usr/share/doc/libeigen3-dev/copyright"
  # CLI11 (korvane.exe): BSD 3-clause
  "CLI11.txt=/usr/share/doc/libcli11-dev/copyright"
  # nlohmann-json (korvane.exe): MIT
  "nlohmann-json.txt=/usr/share/doc/nlohmann-json3-dev/copyright"
  # tinygltf (korvane.exe reads glTF with it): MIT
  "tinygltf.txt=/usr/share/doc/libtinygltf-dev/copyright"
  # nanoflann (nearest points for the fit report): BSD 2-clause
  "nanoflann.txt=/usr/share/doc/libnanoflann-dev/copyright"
  # three.js, inside the report page korvane.exe writes: MIT (from web/'s npm packages)
  "three.js.txt=web/node_modules/three/LICENSE"
)
