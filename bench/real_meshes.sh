#!/bin/bash
# Converts the meshes Debian packages ship that fit_accuracy's real-mesh mode
# is measured on into OBJ files in OUT (default /tmp/real_meshes).
#
#   bench/real_meshes.sh [OUT] [ROOT=/]
#
# The packages: glmark2-data, cura, openscad-testing-data, libcgal-demo,
# openfoam-examples, assimp-testmodels. Installed (ROOT /), or unpacked without their
# dependencies: apt-get download PKG... && for f in *.deb; do dpkg -x $f ROOT; done
# Meshes whose package is missing are skipped.
set -euo pipefail
out=${1:-/tmp/real_meshes}
root=${2:-/}
here=$(cd "$(dirname "$0")" && pwd)
share=$root/usr/share
foam=$share/doc/openfoam-examples/examples
cgal=$(mktemp -d)
trap 'rm -rf "$cgal"' EXIT
if [ -f "$share/doc/libcgal-dev/data.tar.gz" ]; then
  tar -xzf "$share/doc/libcgal-dev/data.tar.gz" -C "$cgal" data/meshes
fi
c=$cgal/data/meshes
m=$share/cura/resources/meshes
/usr/bin/python3 "$here/mesh_to_obj.py" "$out" \
  plate-ultimaker2="$m/ultimaker2_platform.obj" \
  plate-biqu="$m/BIQU_BX_PLATE.stl" \
  plate-wanhao="$m/wanhao_200_200_platform.obj" \
  plate-voron0="$m/voron0_120_bed.stl" \
  plate-anycubic="$m/anycubic_vyper_platform.stl" \
  airfoil-naca0012="$foam/mesh/snappyHexMesh/aerofoilNACA0012_directionalRefinement/constant/triSurface/NACA0012.obj.gz" \
  airfoil-wing5="$foam/incompressible/pimpleFoam/RAS/wingMotion/wingMotion_snappyHexMesh/constant/triSurface/wing_5degrees.obj.gz" \
  airfoil-openscad-wing="$share/openscad/testdata/scad/misc/bad-stl-wing.stl" \
  rotor-propeller-stem="$foam/incompressible/pimpleFoam/RAS/propeller/constant/triSurface/propellerStem3.obj.gz" \
  rotor-fan="$foam/incompressible/pimpleFoam/RAS/rotatingFanInRoom/constant/triSurface/fan.stl.gz" \
  rotor-stirrer="$foam/mesh/foamyHexMesh/mixerVessel/constant/triSurface/rawSurfaces/stirrer.stl.gz" \
  rotor-cgal="$c/rotor.off" \
  rotor-turbine="$c/turbine.off" \
  rotor-blade="$c/blade.off" \
  rotor-pinion="$c/pinion.off" \
  shell-mushroom="$c/mushroom.off" \
  shell-mask-cone="$c/mask_cone.off" \
  tank-vessel="$foam/mesh/foamyHexMesh/mixerVessel/constant/triSurface/rawSurfaces/vessel.stl.gz" \
  tank-cylinder="$c/cylinder_locally_refined.off" \
  torus-knot="$c/knot1.off" \
  torus-handle="$c/handle.off" \
  scan-bunny="$share/glmark2/models/bunny.obj" \
  scan-armadillo="$c/armadillo.off" \
  scan-elephant="$c/elephant.off" \
  scan-femur="$c/femur.off" \
  scan-hand="$c/hand.off" \
  cad-fandisk="$c/fandisk.off" \
  cad-coupling="$c/couplingdown.off" \
  cad-alstom="$c/ALSTOM_TEST4.off" \
  cad-anchor="$c/anchor_dense.off" \
  cad-spool="$c/spool.off" \
  cad-tardis="$share/openscad/testdata/scad/misc/bad-stl-tardis.stl" \
  cad-vicebar="$share/openscad/testdata/scad/misc/bad-stl-pcbvicebar.stl" \
  cad-joint="$c/joint.off" \
  cad-part="$c/part.off" \
  cad-itemb="$c/itemb.off" \
  cad-dragknob="$c/dragknob.off" \
  cad-cheese="$c/cheese.off" \
  cad-b9="$c/b9_mesh.off" \
  figure-bear="$c/bear.off" \
  figure-bull="$c/bull.off" \
  figure-camel="$c/camel.off" \
  figure-cow="$c/cow.off" \
  figure-elk="$c/elk.off" \
  figure-homer="$c/homer.off" \
  figure-lion="$c/lion.off" \
  figure-man="$c/man.off" \
  figure-pig="$c/pig.off" \
  figure-triceratops="$c/triceratops.off" \
  figure-wuson="$share/assimp/models/OFF/Wuson.off" \
  scan-nefertiti="$c/nefertiti.off" \
  scan-head="$c/head.off" \
  shell-helmet="$c/helmet.off" \
  flat-three-peaks="$c/three_peaks.off" \
  flat-horizons="$c/horizons.off" \
  flat-patch="$c/patch-01.off" \
  near-ellipsoid="$c/ellipsoid.off" \
  near-oblong="$c/oblong.off"
