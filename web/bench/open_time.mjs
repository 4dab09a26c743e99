// How long a report page takes to open in headless Chromium: from the start
// of navigation to the first frame of the 3-D view, several fresh tabs.
//
//   node web/bench/open_time.mjs PAGE.html [RUNS=5]
import { mkdtempSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const [file, runsText = '5'] = process.argv.slice(2);
if (!file) {
  console.error('usage: node web/bench/open_time.mjs PAGE.html [RUNS]');
  process.exit(2);
}
const profile = mkdtempSync(join(tmpdir(), 'korvane-open-time-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: process.env.KORVANE_CHROMIUM || '/usr/bin/chromium',
  headless: true,
  viewport: { width: 1280, height: 800 },
  args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const times = [];
try {
  for (let i = 0; i < Number(runsText); i++) {
    const page = await context.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    const start = performance.now();
    await page.goto(pathToFileURL(file).href, { waitUntil: 'commit' });
    await page.waitForSelector('body[data-ready="true"]', { timeout: 60000 });
    const wall = performance.now() - start;
    // Milliseconds from the page's own navigation start to its first frame.
    const inPage = Number(await page.getAttribute('body', 'data-ready-ms'));
    const steps = await page.getAttribute('body', 'data-timings');
    const heap = await page.evaluate(() => performance.memory ? performance.memory.usedJSHeapSize : 0);
    if (errors.length) throw new Error(errors.join('; '));
    times.push(wall);
    console.log(`run ${i + 1}: ${(wall / 1000).toFixed(2)} s to the first frame (page: ${(inPage / 1000).toFixed(2)} s), ` +
      `JS heap ${(heap / 2 ** 20).toFixed(0)} MiB; steps (ms) ${steps}`);
    await page.close();
  }
} finally {
  await context.close();
  rmSync(profile, { recursive: true, force: true });
}
times.sort((a, b) => a - b);
console.log(`${file}: ${(statSync(file).size / 1e6).toFixed(1)} MB; median ${(times[times.length >> 1] / 1000).toFixed(2)} s, ` +
  `worst ${(times[times.length - 1] / 1000).toFixed(2)} s over ${times.length} runs`);
