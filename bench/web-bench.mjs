// The web page's update against kelvoup's, side by side in one run, each against kelvo-sim pacing
// its line at 9600 baud; the page's long tasks during the update; the weight of its wasm and
// JavaScript.
//   node bench/web-bench.mjs SITE KELVO_SIM KELVOUP IMAGE CHIP
// Uses the browser tests' harness and packages (install-build-deps.sh --web).
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { launchBrowser, openPage, serveSite, simEnded, startSim } from '../tests/web/harness.mjs';

const [site, simBinary, kelvoup, image, chip] = process.argv.slice(2);
if (!chip) {
  console.error('usage: node bench/web-bench.mjs SITE KELVO_SIM KELVOUP IMAGE CHIP');
  process.exit(2);
}
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvo-web-bench-'));
const line = ['--chip', chip, '--baud', '9600', '--row-ms', '20'];

// kelvoup alone.
let sim = await startSim(simBinary, line, path.join(work, 'console.hex'));
let start = performance.now();
const run = spawnSync(kelvoup, ['-i', sim.port, image], { stdio: 'ignore' });
const consoleSeconds = (performance.now() - start) / 1000;
await simEnded(sim, 5000);

// The page, with the same target.
const { server, origin } = await serveSite(site);
const browser = await launchBrowser(path.join(work, 'profile'));
sim = await startSim(simBinary, line, path.join(work, 'page.hex'));
const page = await openPage(browser, sim);
await page.goto(`${origin}/index.html`);
await (await page.$('#file')).uploadFile(image);
await page.waitForFunction(() => /good firmware file/.test(document.getElementById('file-status').textContent));
await page.click('#connect');
await page.waitForFunction(() => !document.getElementById('update').disabled);
await page.evaluate(() => { window.__longTasks = []; });
start = performance.now();
await page.click('#update');
await page.waitForSelector('#outcome[data-outcome]', { timeout: 600000 });
const pageSeconds = (performance.now() - start) / 1000;
const outcome = await page.$eval('#outcome', (e) => e.dataset.outcome);
const longTasks = await page.evaluate(() => window.__longTasks);
await page.close();
await page.done();
await simEnded(sim, 5000);
await browser.close();
server.close();
fs.rmSync(work, { recursive: true, force: true });

const weight = fs.readdirSync(site).filter((f) => /\.(js|wasm)$/.test(f))
  .reduce((sum, f) => sum + fs.statSync(path.join(site, f)).size, 0);
console.log(`web page against kelvoup: ${path.basename(image)} as ${chip}, 9600 baud, 20 ms a row`);
console.log(`  kelvoup:      ${consoleSeconds.toFixed(3)} s (status ${run.status})`);
console.log(`  the page:     ${pageSeconds.toFixed(3)} s (${outcome}) = ${(pageSeconds / consoleSeconds).toFixed(4)} of kelvoup`);
console.log(`  long tasks of the page's main thread during the update: ${longTasks.length}` +
  (longTasks.length > 0 ? `, the longest ${Math.max(...longTasks).toFixed(1)} ms` : ''));
console.log(`  wasm and JavaScript: ${weight} bytes (${(weight / 1024).toFixed(1)} KiB)`);
process.exit(0);
