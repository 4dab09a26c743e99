// The report page: reads the measurement embedded by the command-line host,
// fills the tables and draws both meshes overlaid with three.js.
import {
  BufferAttribute,
  BufferGeometry,
  Color,
  DirectionalLight,
  DoubleSide,
  Group,
  HemisphereLight,
  Mesh,
  MeshBasicMaterial,
  MeshLambertMaterial,
  PerspectiveCamera,
  Points,
  PointsMaterial,
  Scene,
  Sphere,
  SphereGeometry,
  Vector3,
  WebGLRenderer,
} from 'three';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';

// Milliseconds since navigation start at each step, for the benchmark.
const timings = { script: performance.now() };
const data = JSON.parse(document.getElementById('korvane-data').textContent);
timings.parsed = performance.now();
const report = data.report;
const view = data.view;

// Low residuals cool, high ones hot; the colour bar uses the same stops (CSS --ramp).
const RAMP = ['#2c7bb6', '#00a6ca', '#00ccbc', '#90eb9d', '#ffff8c', '#f9d057', '#f29e2e', '#e76818', '#d7191c'];
const MOVED_COLOR = '#9aa6b6';

// ---------- numbers and small DOM helpers

// Short text for reading; the cell keeps the exact value in data-value so that
// nothing is lost to rounding.
function fmt(v) {
  if (typeof v !== 'number') return String(v);
  if (Number.isInteger(v) && Math.abs(v) < 1e15) return String(v);
  const a = Math.abs(v);
  if (a !== 0 && (a < 1e-4 || a >= 1e7)) return v.toExponential(5).replace(/\.?0+e/, 'e').replace('e+', 'e');
  return String(Number(v.toPrecision(7)));
}

// Three significant digits, for axis labels.
function short(v) {
  const a = Math.abs(v);
  if (a === 0) return '0';
  if (a < 1e-3 || a >= 1e5) return v.toExponential(2).replace(/\.?0+e/, 'e').replace('e+', 'e');
  return String(Number(v.toPrecision(3)));
}

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') e.className = v;
    else e.setAttribute(k, v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
}

// A value cell tied to its place in the report object, e.g. "residual.surface.p95".
function cell(tag, key, v, cls) {
  if (v === null || v === undefined) return el(tag, { class: 'none', 'data-key': key }, '—');
  const attrs = { 'data-key': key, 'data-value': String(v) };
  if (typeof v === 'number') attrs.class = 'num' + (cls ? ' ' + cls : '');
  else if (cls) attrs.class = cls;
  return el(tag, attrs, fmt(v));
}

function get(obj, path) {
  return path.split('.').reduce((o, k) => (o === null || o === undefined ? undefined : o[k]), obj);
}

function row(label, ...cells) {
  return el('tr', null, el('th', null, label), ...cells);
}

function vec(key, n) {
  const d = el('div', { class: 'vec' });
  for (let i = 0; i < n; i++) d.append(cell('span', `${key}.${i}`, get(report, `${key}.${i}`)));
  return el('td', null, d);
}

// ---------- tables

function fillVerdict() {
  const fits = report.fits === true;
  const ambiguous = fits && report.ambiguous === true;
  const cls = ambiguous ? 'ambiguous' : fits ? 'fits' : 'misfit';
  const badge = document.getElementById('verdict-badge');
  badge.className = 'verdict-badge ' + cls;
  badge.textContent = ambiguous ? '≈ Ambiguous' : fits ? '✓ Fits' : '✗ Does not fit';
  document.title = `Korvane motion report — ${ambiguous ? 'ambiguous' : fits ? 'fits' : 'does not fit'}`;

  const card = document.getElementById('verdict');
  card.classList.add(cls);
  card.append(
    el('div', { class: 'verdict-title', 'data-key': 'fits', 'data-value': String(report.fits) },
      fits ? 'The matrix fits' : 'The matrix does not fit'),
    el('p', { 'data-key': 'message', 'data-value': report.message ?? '' }, report.message ?? ''));
  if (report.cause) {
    card.append(el('p', { class: 'cause', 'data-key': 'cause', 'data-value': report.cause },
      el('b', null, 'Likely cause: '), report.cause));
  }
  if (report.note) {
    card.append(el('p', { class: 'note', 'data-key': 'note', 'data-value': report.note },
      el('b', null, 'Note: '), report.note));
  }

  const chips = document.getElementById('chips');
  const chip = (label, key) => el('span', { class: 'chip' }, `${label} `,
    el('b', { 'data-key': key, 'data-value': String(get(report, key)) }, String(get(report, key))));
  if (report.fit !== undefined) chips.append(chip('fit', 'fit'));
  if (report.motion !== undefined) chips.append(chip('motion', 'motion'));
  if (report.topology !== undefined) chips.append(chip('topology', 'topology'));
  // The files measured, as text (never as markup, whatever their names hold).
  const files = view && view.files;
  for (const which of ['base', 'moved']) {
    if (files && files[which]) {
      chips.append(el('span', { class: 'chip file', id: `file-${which}`, title: files[which] }, `${which} `,
        el('b', null, files[which])));
    }
  }
}

function fillMotion() {
  const t = document.getElementById('motion');
  const parts = report.decomposition;
  if (report.motion !== undefined) t.append(row('Model', cell('td', 'motion', report.motion)));
  if (report.mirror !== undefined) {
    t.append(row('Mirror image', el('td', { 'data-key': 'mirror', 'data-value': String(report.mirror) },
      report.mirror ? 'yes' : 'no')));
  }
  t.append(
    row(parts ? 'Scale (mean stretch)' : 'Scale', cell('td', 'scale', report.scale)),
    row('Rotation angle', el('td', null, cell('span', 'rotation.degrees', get(report, 'rotation.degrees')),
      el('span', { class: 'unit' }, ' °'))),
    row('Rotation axis', vec('rotation.axis', 3)),
    row('Translation', vec('translation', 3)));
  // Not a similarity: the turn above follows three stretches along their axes;
  // the shear is the other reading of the same matrix.
  if (parts) {
    for (let i = 0; i < 3; i++) {
      t.append(row(i === 0 ? 'Stretches' : '', el('td', { class: 'stretch' },
        cell('span', `decomposition.stretches.${i}`, get(report, `decomposition.stretches.${i}`)),
        el('span', { class: 'unit' }, ' along'), vec(`decomposition.axes.${i}`, 3).firstChild)));
    }
    const how = 'x moves by xy·y + xz·z, y by yz·z, before scaling along x, y, z and the turn';
    ['xy', 'xz', 'yz'].forEach((k, i) => {
      t.append(row(i === 0 ? 'Shear' : '', el('td', { title: how }, el('span', { class: 'unit' }, `${k} `),
        cell('span', `decomposition.shear.${k}`, get(report, `decomposition.shear.${k}`)))));
    });
  }

  const m = document.getElementById('matrix');
  for (let r = 0; r < 4; r++) {
    const tr = el('tr');
    for (let c = 0; c < 4; c++) tr.append(cell('td', `matrix.${r}.${c}`, get(report, `matrix.${r}.${c}`)));
    m.append(tr);
  }
}

function fillResiduals() {
  const t = document.getElementById('residuals');
  t.append(el('thead', null, el('tr', null, el('th'), el('th', null, 'absolute'), el('th', null, 'relative'))));
  // The surface group measures to the nearest vertex when the moved mesh has no faces.
  const surfaceTitle = get(report, 'residual.surface.to') === 'vertices' ? 'To the nearest vertex' : 'To the surface';
  // The copy's points measured back onto the moved base: a copy the base covers only in part shows here.
  const reverseTitle = get(report, 'residual.reverse.to') === 'vertices'
    ? 'Copy back to the nearest base vertex' : 'Copy back to the base\'s surface';
  const groups = [['surface', surfaceTitle], ['paired', 'Vertex to vertex'], ['reverse', reverseTitle]];
  for (const [kind, title] of groups) {
    const body = el('tbody', null, el('tr', { class: 'group' }, el('th', { colspan: '3' }, title)));
    const s = get(report, `residual.${kind}`);
    if (s && s.to !== undefined) {
      body.append(el('tr', null, el('th', null, 'Measured to'), cell('td', `residual.${kind}.to`, s.to), el('td')));
    }
    if (s && s.count !== undefined) {
      body.append(el('tr', null, el('th', null, 'Vertices'), cell('td', `residual.${kind}.count`, s.count), el('td')));
    }
    if (!s) {
      body.append(el('tr', null, el('td', { colspan: '3', class: 'hint' },
        kind === 'paired' ? 'None: the meshes do not have the same topology.'
          : kind === 'reverse' ? 'Not measured: the vertex pairs decide, or the motion missed already.' : 'None.')));
    } else {
      for (const [stat, label] of [['rms', 'RMS'], ['median', 'Median'], ['p95', '95th percentile'], ['max', 'Maximum']]) {
        body.append(el('tr', null, el('th', null, label), cell('td', `residual.${kind}.${stat}`, s[stat]),
          cell('td', `residual.${kind}.relative.${stat}`, get(s, `relative.${stat}`))));
      }
    }
    t.append(body);
  }
}

function fillMeasurement() {
  const t = document.getElementById('measurement');
  t.append(
    row('Fit', cell('td', 'fit', report.fit)),
    row('Topology', cell('td', 'topology', report.topology)),
    row('Tolerance', cell('td', 'tolerance', report.tolerance)),
    row('Iterations', cell('td', 'iterations', report.iterations)));
  // Which numbers the library chose itself, and the roughness the tolerance comes from.
  const auto = report.automatic;
  if (auto) {
    t.append(row('Set automatically', el('td', null, el('span', { class: 'unit' }, 'tolerance '),
      cell('span', 'automatic.tolerance', auto.tolerance), el('span', { class: 'unit' }, ', trim '),
      cell('span', 'automatic.trim', auto.trim))));
  }
  t.append(row('Judged share', cell('td', 'judged_share', report.judged_share)),
    row('Overlap', cell('td', 'overlap', report.overlap)));
  const rough = report.roughness;
  if (rough) {
    const pair = (k) => el('td', null, cell('span', `roughness.${k}`, rough[k]),
      el('span', { class: 'unit' }, ', of the size '), cell('span', `roughness.relative.${k}`, get(rough, `relative.${k}`)));
    t.append(row('Copy’s noise', pair('noise')), row('Copy’s point spacing', pair('spacing')),
      row('Tolerance the roughness asks for', cell('td', 'roughness.tolerance', rough.tolerance)),
      row('… for the copy back onto the base', cell('td', 'roughness.reverse_tolerance', rough.reverse_tolerance)));
  }
  const ref = report.reference_vertices;
  if (ref) {
    t.append(row('Reference vertices, base', vec('reference_vertices.base', 3)),
      row('Reference vertices, moved', vec('reference_vertices.moved', 3)));
  }
  // Whatever else the report holds is shown too, so that no number is dropped.
  const known = new Set(['fit', 'motion', 'mirror', 'decomposition', 'topology', 'matrix', 'scale', 'rotation',
    'translation', 'reference_vertices',
    'residual', 'tolerance', 'fits', 'cause', 'note', 'message', 'iterations', 'automatic', 'judged_share',
    'overlap', 'roughness']);
  const leaves = (v, path, out) => {
    if (v !== null && typeof v === 'object') for (const [k, w] of Object.entries(v)) leaves(w, `${path}.${k}`, out);
    else out.push([path, v]);
    return out;
  };
  for (const [k, v] of Object.entries(report)) {
    if (known.has(k)) continue;
    for (const [path, leaf] of leaves(v, k, [])) t.append(row(path, cell('td', path, leaf)));
  }
  const shown = view && view.shown;
  const total = view && view.total;
  if (shown && total) {
    const part = (name) => {
      const tri = get(total, `triangles.${name}`);
      const what = tri ? `${get(shown, `triangles.${name}`).toLocaleString('en')} of ${tri.toLocaleString('en')} triangles`
        : `${get(shown, `points.${name}`).toLocaleString('en')} of ${get(total, `points.${name}`).toLocaleString('en')} points`;
      return row(`Drawn, ${name}`, el('td', null, what));
    };
    t.append(part('base'), part('moved'));
  }
}

// ---------- binary arrays

function bytesOf(b64) {
  if (typeof Uint8Array.fromBase64 === 'function') return Uint8Array.fromBase64(b64);
  const s = atob(b64);
  const out = new Uint8Array(s.length);
  for (let i = 0; i < s.length; i++) out[i] = s.charCodeAt(i);
  return out;
}
const floats = (b64) => { const b = bytesOf(b64 || ''); return new Float32Array(b.buffer, b.byteOffset, b.byteLength >> 2); };
const uints = (b64) => { const b = bytesOf(b64); return new Uint32Array(b.buffer, b.byteOffset, b.byteLength >> 2); };

function residualRange(values) {
  let max = 0;
  for (const v of values) if (v > max) max = v;
  return max;
}

// ---------- colour bar and histogram

function rampLUT(n) {
  const stops = RAMP.map((h) => new Color().setStyle(h, 'srgb'));
  const lut = new Float32Array(n * 3);
  const c = new Color();
  for (let i = 0; i < n; i++) {
    const x = (i / (n - 1)) * (stops.length - 1);
    const k = Math.min(Math.floor(x), stops.length - 2);
    // Mixed in sRGB like the CSS gradient, stored in three.js's linear working space.
    c.copy(stops[k]).lerp(stops[k + 1], x - k);
    c.setRGB(c.r, c.g, c.b, 'srgb');
    lut[3 * i] = c.r; lut[3 * i + 1] = c.g; lut[3 * i + 2] = c.b;
  }
  return lut;
}

function rampCss(t) {
  const x = Math.min(Math.max(t, 0), 1) * (RAMP.length - 1);
  const k = Math.min(Math.floor(x), RAMP.length - 2);
  const a = new Color(RAMP[k]), b = new Color(RAMP[k + 1]);
  return '#' + a.lerp(b, x - k).getHexString();
}

function fillColorbar(max) {
  const ticks = document.getElementById('colorbar-ticks');
  ticks.setAttribute('data-max', String(max));
  for (let i = 0; i <= 4; i++) {
    const v = (max * i) / 4;
    ticks.append(el('span', { style: `bottom: ${i * 25}%`, 'data-value': String(v) }, short(v)));
  }
}

// Bars span the residuals; each is coloured as its residuals are in the view (colourMax).
function drawHistogram(values, max, colourMax) {
  const bins = 40;
  const counts = new Array(bins).fill(0);
  let n = 0;
  for (const v of values) {
    if (!(v >= 0)) continue;
    const k = max > 0 ? Math.min(bins - 1, Math.floor((v / max) * bins)) : 0;
    counts[k]++;
    n++;
  }
  const W = 330, H = 110, left = 40, bottom = 16, top = 6;
  // Log heights: a few large residuals stay visible beside a crowd of small ones.
  const peak = Math.max(1, ...counts);
  const height = (c) => ((H - bottom - top) * Math.log1p(c)) / Math.log1p(peak);
  const ns = 'http://www.w3.org/2000/svg';
  const svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('viewBox', `0 0 ${W} ${H}`);
  svg.setAttribute('role', 'img');
  svg.setAttribute('aria-label', 'Histogram of the residuals');
  const add = (tag, attrs, text) => {
    const e = document.createElementNS(ns, tag);
    for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, String(v));
    if (text !== undefined) e.textContent = text;
    svg.append(e);
    return e;
  };
  const bw = (W - left - 4) / bins;
  counts.forEach((c, k) => {
    const h = height(c);
    add('rect', {
      x: (left + k * bw + 0.5).toFixed(2), y: (H - bottom - h).toFixed(2), width: (bw - 1).toFixed(2),
      height: h.toFixed(2), fill: rampCss(colourMax > 0 ? ((k + 0.5) / bins) * (max / colourMax) : 0),
      'data-count': c,
    });
  });
  add('line', { class: 'axis', x1: left, x2: W - 4, y1: H - bottom + 0.5, y2: H - bottom + 0.5 });
  add('line', { class: 'axis', x1: left - 0.5, x2: left - 0.5, y1: top, y2: H - bottom });
  add('text', { x: left - 4, y: top + 8, 'text-anchor': 'end' }, fmt(peak));
  add('text', { x: left - 4, y: H - bottom, 'text-anchor': 'end' }, '0');
  add('text', { x: left, y: H - 4, 'text-anchor': 'start' }, '0');
  add('text', { x: (left + W - 4) / 2, y: H - 4, 'text-anchor': 'middle' }, short(max / 2));
  add('text', { x: W - 4, y: H - 4, 'text-anchor': 'end' }, short(max));
  document.getElementById('histogram').append(svg);
  document.getElementById('histogram-hint').textContent = `${n.toLocaleString('en')} base vertices, log scale`;
}

// ---------- 3-D view

function buildGeometry(part) {
  const g = new BufferGeometry();
  g.setAttribute('position', new BufferAttribute(floats(part.positions), 3));
  if (part.triangles) {
    g.setIndex(new BufferAttribute(uints(part.triangles), 1));
    g.computeVertexNormals();
  }
  g.computeBoundingSphere();
  return g;
}

function colorize(g, residuals, max) {
  const lut = rampLUT(256);
  const n = g.getAttribute('position').count;
  const colors = new Float32Array(n * 3);
  for (let i = 0; i < n; i++) {
    const v = residuals[i];
    if (v >= 0) {
      const k = 3 * (max > 0 ? Math.min(255, Math.round((v / max) * 255)) : 0);
      colors[3 * i] = lut[k]; colors[3 * i + 1] = lut[k + 1]; colors[3 * i + 2] = lut[k + 2];
    } else {
      colors[3 * i] = colors[3 * i + 1] = colors[3 * i + 2] = 0.2; // not a number: neutral
    }
  }
  g.setAttribute('color', new BufferAttribute(colors, 3));
}

function meshOf(g, material, pointSize) {
  if (g.index) return new Mesh(g, material);
  return new Points(g, new PointsMaterial({
    size: pointSize, sizeAttenuation: false, vertexColors: material.vertexColors,
    color: material.vertexColors ? 0xffffff : material.color, transparent: material.transparent,
    opacity: material.opacity, depthWrite: material.depthWrite,
  }));
}

function markers(points, radius, material, scale) {
  const group = new Group();
  const geometry = new SphereGeometry(radius * scale, 16, 10);
  for (const p of points || []) {
    const s = new Mesh(geometry, material);
    s.position.set(p[0], p[1], p[2]);
    group.add(s);
  }
  return group;
}

function start3d(baseResiduals, max) {
  const canvas = document.getElementById('scene');
  const renderer = new WebGLRenderer({ canvas, antialias: true, alpha: true });
  renderer.setPixelRatio(Math.min(window.devicePixelRatio || 1, 2));
  renderer.setClearColor(0x000000, 0);

  const scene = new Scene();
  scene.add(new HemisphereLight(0xffffff, 0x8090a0, 1.6));
  const camera = new PerspectiveCamera(35, 1, 0.01, 100);
  const key = new DirectionalLight(0xffffff, 1.7);
  key.position.set(0.4, 0.8, 1);
  camera.add(key);
  scene.add(camera);

  const baseGeometry = buildGeometry(view.base);
  colorize(baseGeometry, baseResiduals, max);
  const movedGeometry = buildGeometry(view.moved);
  timings.geometry = performance.now();

  // Sparse clouds get larger dots so that their shape still reads.
  const dot = (g) => (g.getAttribute('position').count < 100000 ? 3 : 2);
  // The base is drawn solid; the moved copy as a veil pulled slightly towards
  // the eye, so where both coincide the colours show through it evenly.
  const base = meshOf(baseGeometry, new MeshLambertMaterial({ vertexColors: true, side: DoubleSide }), dot(baseGeometry));
  const moved = meshOf(movedGeometry, new MeshLambertMaterial({
    color: MOVED_COLOR, transparent: true, opacity: 0.32, depthWrite: false, side: DoubleSide, forceSinglePass: true,
    polygonOffset: true, polygonOffsetFactor: -1, polygonOffsetUnits: -4,
  }), dot(movedGeometry));
  moved.renderOrder = 1;

  const bounds = new Sphere();
  const spheres = [baseGeometry.boundingSphere, movedGeometry.boundingSphere].filter((s) => s && s.radius >= 0 && Number.isFinite(s.radius));
  if (spheres.length) {
    bounds.copy(spheres[0]);
    for (const s of spheres.slice(1)) bounds.union(s);
  }
  if (!(bounds.radius > 0)) bounds.radius = 1;

  const r = bounds.radius * 0.018;
  const baseMarks = markers(view.base.reference, r, new MeshLambertMaterial({ color: 0xd6246e }), 1);
  const movedMarks = markers(view.moved.reference, r, new MeshBasicMaterial({ color: 0x1d2733, wireframe: true, transparent: true, opacity: 0.4 }), 1.9);
  const baseGroup = new Group();
  baseGroup.add(base, baseMarks);
  const movedGroup = new Group();
  movedGroup.add(moved, movedMarks);
  scene.add(baseGroup, movedGroup);

  const fov = (camera.fov * Math.PI) / 180;
  const distance = (bounds.radius / Math.sin(fov / 2)) * 1.2;
  camera.near = distance / 100;
  camera.far = distance * 10;
  camera.position.copy(bounds.center).add(new Vector3(0.55, 0.4, 1).normalize().multiplyScalar(distance));
  camera.lookAt(bounds.center);

  const controls = new OrbitControls(camera, canvas);
  controls.target.copy(bounds.center);
  // Within the depth range set above, so zooming never cuts the meshes away.
  controls.minDistance = distance / 40;
  controls.maxDistance = distance * 4;
  controls.update();
  controls.saveState();

  const render = () => renderer.render(scene, camera);
  let size = '';
  const resize = () => {
    const w = Math.max(1, canvas.clientWidth), h = Math.max(1, canvas.clientHeight);
    // The observer also reports the size the view already has: one costly frame less.
    if (`${w}x${h}` === size) return;
    size = `${w}x${h}`;
    renderer.setSize(w, h, false);
    camera.aspect = w / h;
    camera.updateProjectionMatrix();
    render();
  };
  controls.addEventListener('change', render);
  new ResizeObserver(resize).observe(canvas);
  resize();

  const toggle = (id, group) => document.getElementById(id).addEventListener('change', (e) => {
    group.visible = e.target.checked;
    render();
  });
  toggle('show-base', baseGroup);
  toggle('show-moved', movedGroup);
  document.getElementById('reset-view').addEventListener('click', () => controls.reset());
}

function note() {
  const shown = view && view.shown, total = view && view.total;
  if (!shown || !total) return;
  const thinned = ['base', 'moved'].some((m) => get(shown, `triangles.${m}`) < get(total, `triangles.${m}`) ||
    get(shown, `points.${m}`) < get(total, `points.${m}`));
  if (thinned) {
    document.getElementById('view-note').textContent =
      'Large meshes are thinned for the view: an even share of the triangles is drawn (numbers in Measurement).';
  }
}

// ---------- start

fillVerdict();
fillMotion();
fillResiduals();
fillMeasurement();

const residuals = floats(view && view.base && view.base.residuals);
const max = residualRange(residuals);
// Colours on a scale tied to the tolerance, the same for every report: a
// perfect fit looks perfect, and anything past ten times the tolerance is hot.
const colourMax = report.size > 0 && report.tolerance > 0 ? 10 * report.tolerance * report.size : max;
fillColorbar(colourMax);
drawHistogram(residuals, max, colourMax);
note();

timings.tables = performance.now();
try {
  start3d(residuals, colourMax);
  timings.drawn = performance.now();
} catch (e) {
  const box = document.getElementById('view-error');
  box.hidden = false;
  box.textContent = `The 3-D view cannot be shown here (${e && e.message ? e.message : e}). The numbers are complete.`;
}
requestAnimationFrame(() => {
  timings.frame = performance.now();
  document.body.dataset.readyMs = String(Math.round(timings.frame));
  document.body.dataset.timings = JSON.stringify(timings, (k, v) => (typeof v === 'number' ? Math.round(v) : v));
  document.body.dataset.ready = 'true';
});
