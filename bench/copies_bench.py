#!/usr/bin/python3
"""korvane calc on the copies other tools make, against the known motion, with
Open3D's global registration beside it (bench/README.md, "Copies other tools
make").

usage: /usr/bin/python3 bench/copies_bench.py MESH_DIR [--bin build/native/bin]
           [--quick] [--seeds 1] [--tolerance auto] [--trim auto] [--no-open3d]
           [--open3d-kinds KINDS|all] [--big N] [--big-only] [--work DIR]
           [--results FILE] [--report FILE]

Every OBJ file in MESH_DIR (bench/real_meshes.sh) and the symmetric solids
(`copies shapes`) is moved by a known random similarity and copied by `copies
make`; `korvane calc --json` measures each copy with the default fit and with
`--fit icp`, with the tolerance a user would pass (KINDS below; `--tolerance
auto` / `--trim auto` replace them once calc knows those words). A result is

  right      within the kind's bound of the truth (largest displacement of a
             base vertex, relative to the moved mesh's diagonal) and it fits
  amb+truth  ambiguous, the truth (within the bound) among the motions offered
  amb-truth  ambiguous, the truth not offered ("amb beaten" when the truth
             fits clearly better than the motion written, as for WRONG)
  no fit     the verdict says it does not fit (of which the motion was right)
  off        fits, outside the bound, but the truth scores no better
             (a symmetric shape's other turn, or an imprecise motion)
  WRONG      fits, outside the bound, and the truth fits clearly better:
             half the median distance (`copies score`) or less, base onto
             copy or copy onto base, the result's beyond a tenth of the bound

Open3D (Debian's python3-open3d) runs its tutorial's global registration
(FPFH features, RANSAC on feature matches, then ICP) on the vertices of
the same copies, the voxel 1/50 of the moved copy's size, with the scale
unknown (estimated by RANSAC and point-to-point ICP with scaling) and with
the true scale given (the base scaled by hand first, then the tutorial's
rigid steps and point-to-plane ICP). It has no verdict: a result outside the
bound is wrong, and its fitness is shown.

--big N adds a scan of N points of a generated N-vertex mesh (gen_mesh) and an
exact shuffled cloud of its vertices, measured by korvane, and Open3D's ICP
with scaling from a start near the truth (bench/open3d_icp.py) on the scan.
"""

import argparse
import json
import os
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np

# kind: (what it is, calc's options, bound for "right")
KINDS = {
    "cloud": ("point cloud: moved vertices, shuffled, no faces", [], 1e-4),
    "noise3": ("noise 1e-3, shuffled, faces kept", ["--tolerance", "5e-3"], 3e-3),
    "noise4": ("noise 1e-4, shuffled, faces kept", ["--tolerance", "5e-4"], 3e-4),
    "scan": ("scan: 3x points on the surface, noise 2e-4", ["--tolerance", "2e-2"], 5e-3),
    "remesh": ("remeshed: merged on a grid of 1/60", ["--tolerance", "2e-2"], 5e-3),
    "partial": ("partial: 30% cut by a plane, shuffled", ["--trim", "0.35"], 1e-4),
    "removed": ("2% of the vertices removed", [], 1e-4),
    "split": ("every triangle split in four", [], 1e-4),
    "shuffled": ("vertex order shuffled", [], 1e-4),
    "centre": ("every triangle split at its centre", [], 1e-4),
}
REAL_KINDS = list(KINDS)
SOLID_KINDS = ["split", "centre", "shuffled", "scan", "remesh"]
OPEN3D_KINDS = ["cloud", "noise3", "noise4", "scan", "remesh", "partial"]
CLASSES = ["right", "amb+truth", "amb-truth", "no fit", "off", "WRONG", "failed"]


def vertices(path):
    rows = []
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b"v "):
                rows.append(line.split()[1:4])
    return np.array(rows, dtype=np.float64)


def matrix_of(numbers):
    m = np.eye(4)
    m[:3, :] = np.array(numbers, dtype=np.float64).reshape(3, 4)
    return m


def error(base, truth, found, size):
    """Largest displacement of a base vertex between two motions, relative."""
    a = base @ truth[:3, :3].T + truth[:3, 3]
    b = base @ found[:3, :3].T + found[:3, 3]
    return float(np.max(np.linalg.norm(a - b, axis=1))) / size


def scores(copies, base_path, moved_path, motions):
    """Each motion's median distances (relative): base onto copy, copy onto base."""
    text = "".join(" ".join(repr(float(x)) for x in m[:3, :].ravel()) + "\n" for m in motions)
    out = subprocess.run([copies, "score", base_path, moved_path], input=text,
                         capture_output=True, text=True, check=True).stdout
    return [tuple(float(x) for x in line.split()) for line in out.splitlines()]


def korvane(args, base_path, moved_path, options, workdir):
    cmd = [args.korvane, "calc", base_path, moved_path, "-o", os.path.join(workdir, "m.matrix"),
           "--force", "--json"] + options
    args.last_cpu = None
    t0 = time.perf_counter()
    c0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=args.timeout)
    except subprocess.TimeoutExpired:
        return None, args.timeout, "timeout"
    seconds = time.perf_counter() - t0
    c1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    # Processor time (user + system, every thread): steadier than the
    # elapsed time on a machine shared with other work.
    args.last_cpu = c1.ru_utime - c0.ru_utime + c1.ru_stime - c0.ru_stime
    try:
        return json.loads(p.stdout), seconds, f"exit {p.returncode}"
    except json.JSONDecodeError:
        return None, seconds, f"exit {p.returncode}: {p.stderr.strip()[:200]}"


def clearly_better(s_truth, s_found, bound):
    """Half the result's median distance or less, either way, the result's beyond
    a tenth of the bound (rounding leaves both near zero on symmetric shapes).
    A copy without faces is only its points: the way onto the base's surface
    is then the sharp one."""
    return any(t <= 0.5 * f and f > 0.1 * bound for t, f in zip(s_truth, s_found))


def truth_better(r):
    """An ambiguous result without the truth whose main motion the truth beats
    (results written before the note said so: read from its figures)."""
    if r["class"] != "amb-truth":
        return False
    if "clearly" in r["note"] or "truth" not in r["note"]:
        return "clearly" in r["note"]
    n = [float(x) for x in re.findall(r"\d\.\de[-+]\d+", r["note"])]
    return clearly_better(n[0:2], n[2:4], KINDS[r["kind"]][2])


def classify_korvane(args, case, report):
    base, truth, size, bound = case["base"], case["truth"], case["size"], case["bound"]
    if report is None or "matrix" not in report:
        return "failed", None, ""
    found = np.array(report["matrix"], dtype=np.float64)
    e = error(base, truth, found, size)
    offered = [found] + [np.array(a["matrix"], dtype=np.float64)
                         for a in report.get("alternatives") or []]
    truth_offered = any(error(base, truth, m, size) <= bound for m in offered)
    if report.get("ambiguous"):
        cls = "amb+truth" if truth_offered else "amb-truth"
    elif not report.get("fits"):
        cls = "no fit"
    elif e <= bound:
        cls = "right"
    else:
        cls = "off"
    note = ""
    if cls in ("off", "amb-truth"):
        s_truth, s_found = scores(args.copies, case["base_path"], case["moved_path"],
                                  [truth, found])
        note = ("median distance base onto copy, copy onto base: truth %.1e, %.1e; result "
                "%.1e, %.1e" % (s_truth + s_found))
        if clearly_better(s_truth, s_found, bound):
            if cls == "off":
                cls = "WRONG"
            else:
                note += "; the truth fits clearly better"
    elif cls == "no fit" and e <= bound:
        note = "motion right"
    return cls, e, note


def open3d_fit(o3d, base, moved, size, given_scale):
    """The tutorial's global registration; given_scale scales the base first."""
    reg = o3d.pipelines.registration
    voxel = size / 50.0
    pre = np.eye(4)
    if given_scale is not None:
        pre[:3, :3] *= given_scale
    source = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(base @ pre[:3, :3].T))
    target = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(moved))

    def features(pcd):
        down = pcd.voxel_down_sample(voxel)
        down.estimate_normals(o3d.geometry.KDTreeSearchParamHybrid(radius=voxel * 2, max_nn=30))
        fpfh = reg.compute_fpfh_feature(
            down, o3d.geometry.KDTreeSearchParamHybrid(radius=voxel * 5, max_nn=100))
        return down, fpfh

    t0 = time.perf_counter()
    source_down, source_fpfh = features(source)
    target_down, target_fpfh = features(target)
    distance = voxel * 1.5
    scaling = given_scale is None
    ransac = reg.registration_ransac_based_on_feature_matching(
        source_down, target_down, source_fpfh, target_fpfh, True, distance,
        reg.TransformationEstimationPointToPoint(scaling), 3,
        [reg.CorrespondenceCheckerBasedOnEdgeLength(0.9),
         reg.CorrespondenceCheckerBasedOnDistance(distance)],
        reg.RANSACConvergenceCriteria(100000, 0.999))
    if scaling:
        estimation = reg.TransformationEstimationPointToPoint(True)
    else:
        for pcd in (source, target):
            pcd.estimate_normals(
                o3d.geometry.KDTreeSearchParamHybrid(radius=voxel * 2, max_nn=30))
        estimation = reg.TransformationEstimationPointToPlane()
    icp = reg.registration_icp(source, target, voxel * 0.4, ransac.transformation, estimation)
    seconds = time.perf_counter() - t0
    return np.asarray(icp.transformation) @ pre, icp.fitness, seconds


def seed_of(name, k):
    return zlib.crc32(name.encode()) * 16 + k + 1


def row(label, results, noisy):
    counts = {c: sum(r["class"] == c for r in results) for c in CLASSES}
    right_motion = sum(r["class"] == "no fit" and r["note"] == "motion right" for r in results)
    n = len(results)
    ok = counts["right"] + counts["amb+truth"]
    times = [r["seconds"] for r in results]
    cells = [label, f"{ok}/{n} ({100.0 * ok / n:.0f}%)" if n else "0/0"]
    cells += [str(counts[c]) for c in CLASSES[:3]]
    cells.append(f"{counts['no fit']} ({right_motion})")
    cells += [str(counts["off"]), str(counts["WRONG"]), str(counts["failed"])]
    cells.append(f"{statistics.median(times):.2f} / {max(times):.2f}" if times else "-")
    if noisy:
        # Where the motion written is the true one (an ambiguous result may
        # offer the truth as an alternative only).
        ratios = [r["error"] / r["pairs_error"] for r in results
                  if r["class"] in ("right", "amb+truth") and r.get("pairs_error")
                  and r["error"] <= KINDS[r["kind"]][2]]
        cells.append(f"{statistics.median(ratios):.1f}x / {max(ratios):.1f}x" if ratios else "-")
    return "| " + " | ".join(cells) + " |"


def open3d_row(label, results):
    n = len(results)
    right = sum(r["class"] == "right" for r in results)
    high = sum(r["class"] != "right" and r["fitness"] >= 0.9 for r in results)
    times = [r["seconds"] for r in results]
    return (f"| {label} | {right}/{n} ({100.0 * right / n:.0f}%) | wrong with fitness >= 0.9: "
            f"{high}, below: {n - right - high} | | | | | "
            f"{statistics.median(times):.2f} / {max(times):.2f} |")


def print_tables(results, title_filter, heading):
    print(f"\n### {heading}\n")
    kinds = [k for k in KINDS if any(r["kind"] == k and title_filter(r) for r in results)]
    for kind in kinds:
        here = [r for r in results if r["kind"] == kind and title_filter(r)]
        noisy = kind.startswith("noise")
        print(f"{kind} ({KINDS[kind][0]}; calc {' '.join(here[0]['options']) or 'defaults'}; "
              f"right within {KINDS[kind][2]:.0e})\n")
        head = ["method", "right or amb+truth", "right", "amb+truth", "amb-truth",
                "no fit (motion right)", "off", "WRONG", "failed", "s/fit median / max"]
        if noisy:
            head.append("error / least squares on true pairs, median / max")
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for method in ("default", "icp"):
            print(row(f"korvane {method}", [r for r in here if r["method"] == method], noisy))
        for method in ("open3d", "open3d scale given"):
            mine = [r for r in here if r["method"] == method]
            if mine:
                print(open3d_row(method, mine))
        print()


def summary(results):
    """One line per kind: right or ambiguous with the truth offered, and the wrong fits."""
    print("\n### Summary: right or ambiguous with the truth offered (WRONG fits, fits off, "
          "amb beaten: ambiguous without the truth, which fits clearly better)\n")
    methods = ["default", "icp", "open3d", "open3d scale given"]
    print("| meshes | kind | korvane default | korvane --fit icp | Open3D, scale unknown "
          "| Open3D, true scale given |")
    print("|---|---|---|---|---|---|")
    for solid in (False, True):
        for kind in KINDS:
            cells = []
            for method in methods:
                here = [r for r in results if r["solid"] == solid and r["kind"] == kind
                        and r["method"] == method]
                ok = sum(r["class"] in ("right", "amb+truth") for r in here)
                cell = f"{ok}/{len(here)}" if here else "-"
                extra = [f"{n} {c}" for c in ("WRONG", "off")
                         if (n := sum(r["class"] == c for r in here))]
                beaten = sum(truth_better(r) for r in here)
                if beaten:
                    extra.append(f"{beaten} amb beaten")
                if extra:
                    cell += " (" + ", ".join(extra) + ")"
                cells.append(cell)
            if any(c != "-" for c in cells):
                print(f"| {'solids' if solid else 'real'} | {kind} | " + " | ".join(cells) + " |")


def run_big(args, work):
    n = args.big
    d = os.path.join(work, "big")
    os.makedirs(d, exist_ok=True)
    base_path = os.path.join(d, "base.obj")
    subprocess.run([os.path.join(args.bin, "gen_mesh"), base_path, str(n), "7"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([args.copies, "make", base_path, d, "7", str(n), "scan,cloud"], check=True)
    lines = [ln.split("\t") for ln in open(os.path.join(d, "copies.tsv")).read().splitlines()]
    base = vertices(base_path)
    print(f"\n### {len(base)}-vertex generated base, a {n}-point scan and its exact cloud\n")
    for kind, file, _, *numbers in lines:
        truth = matrix_of(numbers)
        moved_path = os.path.join(d, file)
        size = float(np.linalg.norm(np.ptp(vertices(moved_path), axis=0)))
        for method, extra in (("default", []), ("icp", ["--fit", "icp"])):
            report, seconds, status = korvane(args, base_path, moved_path,
                                              KINDS[kind][1] + extra, d)
            if report and "matrix" in report:
                e = error(base, truth, np.array(report["matrix"]), size)
                print(f"- korvane {method}, {kind}: {seconds:.2f} s (whole process), error "
                      f"{e:.1e}, fits {report.get('fits')}, ambiguous {report.get('ambiguous')}")
            else:
                print(f"- korvane {method}, {kind}: {seconds:.2f} s, {status}")
        if kind == "scan" and not args.no_open3d:
            peer = subprocess.run(
                [sys.executable, os.path.join(os.path.dirname(__file__), "open3d_icp.py"),
                 base_path, moved_path] + numbers, capture_output=True, text=True)
            print("- " + peer.stdout.strip().replace("\n", "\n- "))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("meshes")
    ap.add_argument("--bin", default="build/native/bin")
    ap.add_argument("--quick", action="store_true", help="every fourth mesh, three solids")
    ap.add_argument("--seeds", type=int, default=1, help="motions per mesh")
    ap.add_argument("--tolerance", help="replaces the tolerance of the kinds that set one")
    ap.add_argument("--trim", help="replaces the partial copies' --trim")
    ap.add_argument("--no-open3d", action="store_true")
    ap.add_argument("--open3d-kinds", default=",".join(OPEN3D_KINDS))
    ap.add_argument("--big", type=int, default=0)
    ap.add_argument("--big-only", action="store_true", help="only the --big measurement")
    ap.add_argument("--no-solids", action="store_true", help="the meshes of MESH_DIR alone")
    ap.add_argument("--timeout", type=float, default=300.0)
    ap.add_argument("--work", help="keep the copies here (default: a temporary directory)")
    ap.add_argument("--results", help="append every result here as a JSON line, as it comes")
    ap.add_argument("--report", help="only print the tables of a --results file")
    args = ap.parse_args()
    if args.report:
        results = [json.loads(line) for line in open(args.report)]
        names = {(r["mesh"], r["solid"]) for r in results}
        print_report(args, results, [n for n, solid in names if not solid],
                     [n for n, solid in names if solid])
        return
    args.korvane = os.path.join(args.bin, "korvane")
    args.copies = os.path.join(args.bin, "copies")
    for kind, (what, options, bound) in KINDS.items():
        if args.tolerance and "--tolerance" in options:
            options = ["--tolerance", args.tolerance]
        if args.trim and "--trim" in options:
            options = ["--trim", args.trim]
        KINDS[kind] = (what, options, bound)
    o3d = None
    if not args.no_open3d:
        import open3d as o3d  # the peer: Debian's python3-open3d, for this benchmark only
        o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
    open3d_kinds = REAL_KINDS if args.open3d_kinds == "all" else args.open3d_kinds.split(",")

    # A stopped run removes its scratch directory too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    work = args.work or tempfile.mkdtemp(prefix="korvane-copies-")
    try:
        shapes = os.path.join(work, "shapes")
        subprocess.run([args.copies, "shapes", shapes], check=True)
        meshes = sorted(os.path.join(args.meshes, f) for f in os.listdir(args.meshes)
                        if f.endswith(".obj"))
        solids = sorted(os.path.join(shapes, f) for f in os.listdir(shapes))
        if args.quick:
            meshes, solids = meshes[::4], solids[::3]
        if args.big_only:
            meshes, solids = [], []
        if args.no_solids:
            solids = []
        results = []
        sink = open(args.results, "a") if args.results else None

        def add(r):
            results.append(r)
            if sink:
                sink.write(json.dumps(r) + "\n")
                sink.flush()

        for path in meshes + solids:
            name = os.path.splitext(os.path.basename(path))[0]
            solid = path in solids
            base = vertices(path)
            for k in range(args.seeds):
                d = os.path.join(work, f"{name}.{k}")
                kinds = SOLID_KINDS if solid else REAL_KINDS
                subprocess.run([args.copies, "make", path, d, str(seed_of(name, k)), "0",
                                ",".join(kinds)], check=True)
                for line in open(os.path.join(d, "copies.tsv")).read().splitlines():
                    kind, file, pairs_error, *numbers = line.split("\t")
                    moved_path = os.path.join(d, file)
                    moved = vertices(moved_path)
                    case = {"base": base, "truth": matrix_of(numbers), "base_path": path,
                            "moved_path": moved_path, "bound": KINDS[kind][2],
                            "size": float(np.linalg.norm(np.ptp(moved, axis=0)))}
                    common = {"mesh": name, "solid": solid, "motion": k, "kind": kind,
                              "options": KINDS[kind][1],
                              "pairs_error": None if pairs_error == "-" else float(pairs_error)}
                    for method, extra in (("default", []), ("icp", ["--fit", "icp"])):
                        report, seconds, status = korvane(args, path, moved_path,
                                                          KINDS[kind][1] + extra, d)
                        cls, e, note = classify_korvane(args, case, report)
                        if cls == "failed":
                            note = status
                        add(dict(common, method=method, seconds=seconds,
                                 cpu=getattr(args, "last_cpu", None), error=e,
                                 note=note, **{"class": cls}))
                    if o3d is not None and kind in open3d_kinds:
                        scale = float(np.cbrt(np.linalg.det(case["truth"][:3, :3])))
                        for method, given in (("open3d", None), ("open3d scale given", scale)):
                            # RANSAC draws on several threads: seeded, it still varies a little.
                            o3d.utility.random.seed(seed_of(name, k) % 2**31)
                            found, fitness, seconds = open3d_fit(o3d, base, moved, case["size"],
                                                                 given)
                            e = error(base, case["truth"], found, case["size"])
                            add(dict(common, method=method, seconds=seconds, error=e,
                                                fitness=fitness, note=f"fitness {fitness:.3f}",
                                                **{"class": "right" if e <= case["bound"]
                                                   else "wrong"}))
                    shown = [f"{r['method']}: {r['class']}" for r in results[-4:]
                             if r["mesh"] == name and r["kind"] == kind]
                    print(f"{name} {kind}: " + ", ".join(shown), file=sys.stderr, flush=True)
                if not args.work:
                    shutil.rmtree(d)

        if results:
            print_report(args, results, meshes, solids)
        if args.big:
            run_big(args, work)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


def print_report(args, results, meshes, solids):
    print(f"{len(meshes)} real meshes, {len(solids)} symmetric solids, {args.seeds} motion(s) "
          f"each; times are whole `korvane calc` processes (reading included) and "
          f"Open3D's registration alone")
    summary(results)
    print_tables(results, lambda r: not r["solid"], "Real meshes")
    print_tables(results, lambda r: r["solid"], "Symmetric solids")
    print("\n### Not right: wrong fits, ambiguous without the truth, no fit\n")
    for r in results:
        if r["method"] in ("default", "icp") and r["class"] in (
                "WRONG", "off", "amb-truth", "no fit", "failed"):
            e = "-" if r["error"] is None else f"{r['error']:.1e}"
            print(f"- {r['class']}: {r['mesh']} {r['kind']} korvane {r['method']}, "
                  f"error {e} {r['note']}"
                + ("; the truth fits clearly better" if truth_better(r)
                   and "clearly" not in r["note"] else ""))



if __name__ == "__main__":
    main()
