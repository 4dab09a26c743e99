// Opens report pages from disk in a real Chromium and checks what a reader
// gets: no network, no errors, a drawn 3-D view that answers its controls,
// and tables that show the report's own numbers.
//
// The page comes from KORVANE_REPORT (with the report object from
// KORVANE_REPORT_JSON, else the one embedded in the page), or is made by the
// driver program KORVANE_REPORT_DRIVER in four variants. KORVANE_SCREENSHOT
// names a PNG to write of the (first) page.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { basename, join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { inflateSync } from 'node:zlib';
import { chromium } from 'playwright-core';

const scratch = mkdtempSync(join(tmpdir(), 'korvane-report-test-'));

function pages() {
  if (process.env.KORVANE_REPORT) {
    return [{ name: basename(process.env.KORVANE_REPORT), html: process.env.KORVANE_REPORT, json: process.env.KORVANE_REPORT_JSON }];
  }
  const driver = process.env.KORVANE_REPORT_DRIVER;
  if (!driver) throw new Error('set KORVANE_REPORT (a page) or KORVANE_REPORT_DRIVER (the report_driver program)');
  return [
    ['fits', []],
    ['reshaped', ['--reshape']],
    ['different-topology', ['--vertices', '6000', '--moved-vertices', '9000']],
    ['points', ['--points', '--vertices', '8000']],
    ['affine', ['--affine', '--vertices', '8000']],
  ].map(([name, args]) => {
    const html = join(scratch, `${name}.html`);
    const json = join(scratch, `${name}.json`);
    execFileSync(driver, [html, '--json', json, ...args], { stdio: ['ignore', 'ignore', 'inherit'] });
    return { name, html, json };
  });
}

// ---------- PNG pixels (Chromium writes 8-bit RGB or RGBA, not interlaced)

function decodePng(buf) {
  let at = 8, width = 0, height = 0, channels = 0;
  const idat = [];
  while (at < buf.length) {
    const len = buf.readUInt32BE(at), type = buf.toString('latin1', at + 4, at + 8);
    const body = buf.subarray(at + 8, at + 8 + len);
    if (type === 'IHDR') {
      width = body.readUInt32BE(0); height = body.readUInt32BE(4);
      assert.equal(body[8], 8, 'bit depth');
      assert.equal(body[12], 0, 'interlace');
      channels = { 2: 3, 6: 4 }[body[9]];
      assert.ok(channels, `colour type ${body[9]}`);
    } else if (type === 'IDAT') idat.push(body);
    at += 12 + len;
  }
  const raw = inflateSync(Buffer.concat(idat));
  const stride = width * channels;
  const out = new Uint8Array(width * height * 4);
  let prev = new Uint8Array(stride);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    const cur = new Uint8Array(stride);
    for (let i = 0; i < stride; i++) {
      const a = i >= channels ? cur[i - channels] : 0, b = prev[i], c = i >= channels ? prev[i - channels] : 0;
      let p = 0;
      if (filter === 1) p = a;
      else if (filter === 2) p = b;
      else if (filter === 3) p = (a + b) >> 1;
      else if (filter === 4) {
        const pa = Math.abs(b - c), pb = Math.abs(a - c), pc = Math.abs(a + b - 2 * c);
        p = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      cur[i] = (line[i] + p) & 255;
    }
    for (let x = 0; x < width; x++) {
      for (let k = 0; k < 4; k++) out[(y * width + x) * 4 + k] = k < channels ? cur[x * channels + k] : 255;
    }
    prev = cur;
  }
  return { width, height, data: out };
}

// Share of pixels that differ by more than a faint rendering wobble.
function changed(a, b) {
  assert.equal(a.data.length, b.data.length);
  let n = 0;
  for (let i = 0; i < a.data.length; i += 4) {
    const d = Math.abs(a.data[i] - b.data[i]) + Math.abs(a.data[i + 1] - b.data[i + 1]) + Math.abs(a.data[i + 2] - b.data[i + 2]);
    if (d > 24) n++;
  }
  return n / (a.data.length / 4);
}

// [path, value] of every leaf: "residual.surface.relative.p95", "matrix.2.3", ...
function leaves(value, path = '', out = []) {
  if (value !== null && typeof value === 'object') {
    for (const [k, v] of Object.entries(value)) leaves(v, path ? `${path}.${k}` : k, out);
  } else {
    out.push([path, value]);
  }
  return out;
}

const floats = (b64) => {
  const b = Buffer.from(b64, 'base64');
  return new Float32Array(b.buffer.slice(b.byteOffset, b.byteOffset + b.byteLength));
};

// ---------- the browser

let context;
before(async () => {
  context = await chromium.launchPersistentContext(join(scratch, 'profile'), {
    executablePath: process.env.KORVANE_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1280, height: 800 },
    args: [
      '--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
});
after(async () => {
  await context?.close();
  rmSync(scratch, { recursive: true, force: true });
});

for (const [index, variant] of pages().entries()) {
  describe(`report page: ${variant.name}`, () => {
    let page;
    const requests = [];
    const problems = [];
    let report; // what `korvane calc --json` printed, or else the page's own copy
    let data;

    before(async () => {
      page = await context.newPage();
      page.on('request', (r) => requests.push(r.url()));
      page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
      page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
      await page.goto(pathToFileURL(variant.html).href);
      await page.waitForSelector('body[data-ready="true"]', { timeout: 30000 });
      data = await page.evaluate(() => JSON.parse(document.getElementById('korvane-data').textContent));
      report = variant.json ? JSON.parse(readFileSync(variant.json, 'utf8')) : data.report;
    });
    after(() => page?.close());

    test('opens from disk with no network request and no error', async () => {
      assert.ok(requests.length > 0, 'the page itself is a request');
      const foreign = requests.filter((u) => !/^(file|data|blob):/.test(u));
      assert.deepEqual(foreign, []);
      assert.deepEqual(problems, []);
      assert.equal(await page.isVisible('#view-error'), false, 'the 3-D view failed');
    });

    test('the tables show every number and word of the report', async () => {
      assert.deepEqual(data.report, report, 'the page embeds the report as printed');
      const shown = await page.$$eval('[data-key]', (els) => els.map((e) => ({
        key: e.dataset.key, value: e.dataset.value, text: e.textContent.trim(),
      })));
      const checked = [];
      for (const [key, value] of leaves(report)) {
        if (value === null) continue;
        const cells = shown.filter((c) => c.key === key);
        assert.ok(cells.length > 0, `nothing shows ${key}`);
        for (const c of cells) {
          if (typeof value === 'number') {
            assert.equal(Number(c.value), value, `${key}: data-value ${c.value}`);
            const read = Number(c.text);
            assert.ok(Math.abs(read - value) <= 1e-5 * Math.abs(value), `${key}: shown as ${c.text}, is ${value}`);
          } else {
            assert.equal(c.value, String(value), key);
            assert.ok(c.text.includes(String(value)) || typeof value === 'boolean', `${key}: shown as ${c.text}`);
          }
        }
        checked.push(key);
      }
      assert.ok(checked.includes('matrix.3.3') && checked.includes('residual.surface.relative.max'));
      // Stretches and shear only where the motion is not a similarity.
      const stretches = await page.$$eval('#motion th', (ths) => ths.filter((t) => t.textContent === 'Stretches').length);
      assert.equal(stretches, report.decomposition ? 1 : 0);
      const badge = await page.textContent('#verdict-badge');
      assert.match(badge, report.ambiguous ? /^≈ Ambiguous$/ : report.fits ? /^✓ Fits$/ : /Does not fit/);
    });

    test('the colour bar spans ten tolerances, the histogram the residuals drawn', async () => {
      const residuals = floats(data.view.base.residuals);
      assert.equal(residuals.length * 3, floats(data.view.base.positions).length);
      assert.ok(report.size > 0, 'the report gives the size residuals are relative to');
      assert.equal(Number(await page.getAttribute('#colorbar-ticks', 'data-max')), 10 * report.tolerance * report.size);
      if (data.view.files) {
        // Shown as text: a name that looks like markup stays a name.
        assert.equal(await page.textContent('#file-base b'), data.view.files.base);
        assert.equal(await page.$$eval('#chips script, #chips img', (e) => e.length), 0);
      }
      const counts = await page.$$eval('#histogram rect', (rs) => rs.map((r) => Number(r.dataset.count)));
      assert.equal(counts.reduce((a, b) => a + b, 0), residuals.length);
      assert.ok(counts[counts.length - 1] > 0, 'the largest residual falls in the last bin');
    });

    test('the 3-D view draws both meshes and answers its controls', async () => {
      const canvas = page.locator('#scene');
      const shot = async () => decodePng(await canvas.screenshot());
      const both = await shot();
      await page.uncheck('#show-base');
      const movedOnly = await shot();
      await page.uncheck('#show-moved');
      const empty = await shot();
      await page.check('#show-base');
      const baseOnly = await shot();
      await page.check('#show-moved');

      assert.ok(changed(both, empty) > 0.05, 'the view looks empty');
      assert.ok(changed(movedOnly, empty) > 0.03, 'the moved mesh is not drawn');
      assert.ok(changed(baseOnly, empty) > 0.03, 'the base is not drawn');
      assert.ok(changed(both, baseOnly) > 0.01, 'hiding the moved mesh changes nothing');
      assert.ok(changed(both, movedOnly) > 0.01, 'hiding the base changes nothing');
      assert.ok(changed(both, await shot()) < 0.001, 'showing both again differs from the first view');

      const box = await canvas.boundingBox();
      await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
      await page.mouse.down();
      await page.mouse.move(box.x + box.width / 2 + 160, box.y + box.height / 2 + 60, { steps: 8 });
      await page.mouse.up();
      await page.mouse.wheel(0, -400);
      assert.ok(changed(both, await shot()) > 0.02, 'dragging and the wheel do not move the view');
      await page.click('#reset-view');
      assert.ok(changed(both, await shot()) < 0.001, 'reset view does not return to the first view');
    });

    test('screenshot', { skip: !process.env.KORVANE_SCREENSHOT }, async () => {
      const target = index === 0 ? process.env.KORVANE_SCREENSHOT
        : process.env.KORVANE_SCREENSHOT.replace(/(\.png)?$/i, `-${variant.name}.png`);
      writeFileSync(target, await page.screenshot());
    });
  });
}
