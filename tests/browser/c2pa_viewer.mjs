// Shows a PNG's content credentials on a viewer page (c2pa_viewer.html: the
// C2PA project's reader compiled to WebAssembly) in Debian's Chromium,
// headless, driven by playwright-core, and saves a screenshot of the page.
//
//   node c2pa_viewer.mjs FILE.png SCREENSHOT.png [TRUST_ANCHORS.pem]
//
// Serves this folder and the two files on a loopback port of its own. Prints
// one JSON line with the validation state and failures the page shows.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const [file, shot, trust] = process.argv.slice(2);
const here = path.dirname(fileURLToPath(import.meta.url));
const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript',
  '.wasm': 'application/wasm', '.png': 'image/png', '.pem': 'text/plain' };
const served = { '/file.png': file, '/trust.pem': trust };

const server = http.createServer((req, res) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  let p = served[url.pathname] || path.join(here, path.normalize(url.pathname));
  if (!served[url.pathname] && !p.startsWith(here + path.sep)) p = '';
  fs.readFile(p, (err, data) => {
    if (err) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(p)] || 'application/octet-stream' });
    res.end(data);
  });
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const port = server.address().port;

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'qb-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  viewport: { width: 1180, height: 640 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
let status = 0;
try {
  const page = context.pages()[0] || await context.newPage();
  const query = '?file=/file.png' + (trust ? '&trust=/trust.pem' : '');
  await page.goto(`http://127.0.0.1:${port}/c2pa_viewer.html${query}`);
  await page.waitForFunction(() => document.body.dataset.state, null, { timeout: 60000 });
  await page.screenshot({ path: shot, fullPage: true });
  const seen = await page.evaluate(() => ({
    state: document.body.dataset.state,
    failures: JSON.parse(document.body.dataset.failures || '[]'),
    process: document.getElementById('process').innerText,
  }));
  console.log(JSON.stringify(seen));
} catch (e) {
  console.error(String(e));
  status = 1;
} finally {
  await context.close();
  server.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
process.exit(status);
