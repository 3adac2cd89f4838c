// The web page's update against kelvoup's, side by side in one run, each against kelvo-sim pacing
// its line at 9600 baud; the tasks of the page's main thread during the update, read from a trace
// of the page's renderer (every task, not only those over 50 ms); the weight of its wasm and
// JavaScript.
//   node bench/web-bench.mjs [--busy N] [--before REV] [--runs K] [--traces DIR] SITE KELVO_SIM KELVOUP IMAGE CHIP
// --busy N     N busy loops (sh -c 'while :; do :; done') run beside the whole measurement.
// --before REV the page of git revision REV (its files of web/, with SITE's core) is measured in
//              the same run, just before the page of SITE.
// --runs K     each page's update K times, the pages in turn.
// --traces DIR keeps each update's trace in DIR (DevTools' Performance panel opens them).
// Uses the browser tests' harness and packages (install-build-deps.sh --web).
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchBrowser, openPage, serveSite, simEnded, startSim } from '../tests/web/harness.mjs';

const args = process.argv.slice(2);
const option = (name) => {
  const at = args.indexOf(name);
  return at < 0 ? null : args.splice(at, 2)[1];
};
const busy = Number(option('--busy') || 0);
const runs = Number(option('--runs') || 1);
const traces = option('--traces');
const before = option('--before');
const [site, simBinary, kelvoup, image, chip] = args;
if (!chip || !Number.isInteger(busy) || !(runs >= 1)) {
  console.error('usage: node bench/web-bench.mjs [--busy N] [--before REV] [--runs K] [--traces DIR] SITE KELVO_SIM KELVOUP IMAGE CHIP');
  process.exit(2);
}
const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvo-web-bench-'));
const line = ['--chip', chip, '--baud', '9600', '--row-ms', '20'];

// The page of revision `rev` in `dir`: SITE's core with the page files of that revision.
function pageOfRevision(rev, dir) {
  fs.mkdirSync(dir);
  for (const file of fs.readdirSync(site).filter((f) => f.startsWith('kelvo-core.'))) {
    fs.copyFileSync(path.join(site, file), path.join(dir, file));
  }
  const git = (...a) => spawnSync('git', ['-C', repo, ...a], { maxBuffer: 1 << 26 });
  const listing = git('ls-tree', '--name-only', `${rev}:web`);
  if (listing.status !== 0) throw new Error(`git ls-tree ${rev}:web: ${listing.stderr}`);
  for (const file of listing.stdout.toString().split('\n').filter((f) => f && !f.endsWith('.cpp'))) {
    fs.writeFileSync(path.join(dir, file), git('show', `${rev}:web/${file}`).stdout);
  }
  return dir;
}

// The page's main thread in a trace: its tasks, the longest and what took its time.
function mainThreadTasks(trace, origin) {
  const events = JSON.parse(trace).traceEvents;
  const frames = events.find((e) => e.name === 'TracingStartedInBrowser').args.data.frames;
  const pid = frames.find((f) => f.url.startsWith(origin)).processId;
  const tid = events.find((e) => e.ph === 'M' && e.name === 'thread_name' && e.pid === pid &&
    e.args.name === 'CrRendererMain').tid;
  const onMain = events.filter((e) => e.pid === pid && e.tid === tid && e.ph === 'X');
  const tasks = onMain.filter((e) => e.name === 'RunTask');
  const longest = tasks.reduce((a, b) => (b.dur > a.dur ? b : a), tasks[0]);
  const inside = onMain.filter((e) => e !== longest && e.name !== 'RunTask' && e.cat.includes('devtools.timeline') &&
    e.ts >= longest.ts && e.ts < longest.ts + longest.dur).sort((a, b) => b.dur - a.dur);
  const what = inside.slice(0, 3).map((e) => `${e.name}${e.args.data?.functionName ? ' ' + e.args.data.functionName : ''}` +
    ` ${(e.dur / 1000).toFixed(1)} ms`);
  return { count: tasks.length, over16: tasks.filter((e) => e.dur > 16000).length, longest: longest.dur / 1000,
    cpu: (longest.tdur ?? longest.dur) / 1000, what, mostCpu: Math.max(...tasks.map((e) => e.tdur ?? e.dur)) / 1000 };
}

// One update through the page of `siteDir`, traced from the click on Update to the outcome.
async function pageUpdate(browser, siteDir, name) {
  const { server, origin } = await serveSite(siteDir);
  const sim = await startSim(simBinary, line, path.join(work, `${name}.hex`));
  const page = await openPage(browser, sim);
  await page.goto(`${origin}/index.html`);
  await (await page.$('#file')).uploadFile(image);
  await page.waitForFunction(() => /good firmware file/.test(document.getElementById('file-status').textContent));
  await page.click('#connect');
  await page.waitForFunction(() => !document.getElementById('update').disabled);
  await page.evaluate(() => { window.__longTasks = []; });
  await page.tracing.start({ categories: ['disabled-by-default-devtools.timeline', 'devtools.timeline'] });
  const start = performance.now();
  await page.click('#update');
  await page.waitForSelector('#outcome[data-outcome]', { timeout: 600000 });
  const seconds = (performance.now() - start) / 1000;
  const trace = await page.tracing.stop();
  if (traces) fs.writeFileSync(path.join(traces, `${name}-${Date.now()}.json`), trace);
  const outcome = await page.$eval('#outcome', (e) => e.dataset.outcome);
  const longTasks = await page.evaluate(() => window.__longTasks);
  await page.close();
  await page.done();
  await simEnded(sim, 5000);
  server.close();
  return { seconds, outcome, longTasks, main: mainThreadTasks(Buffer.from(trace).toString("utf8"), origin) };
}

const loops = Array.from({ length: busy }, () => spawn('sh', ['-c', 'while :; do :; done'], { stdio: 'ignore' }));
const results = [];
try {
  // kelvoup alone.
  const sim = await startSim(simBinary, line, path.join(work, 'console.hex'));
  const start = performance.now();
  const run = spawnSync(kelvoup, ['-i', sim.port, image], { stdio: 'ignore' });
  const consoleSeconds = (performance.now() - start) / 1000;
  await simEnded(sim, 5000);
  results.push({ name: 'kelvoup', seconds: consoleSeconds, status: run.status });

  // The pages, with the same target.
  const browser = await launchBrowser(path.join(work, 'profile'));
  const beforeSite = before ? pageOfRevision(before, path.join(work, 'before')) : null;
  for (let run = 1; run <= runs; ++run) {
    const nth = runs > 1 ? ` (run ${run})` : '';
    if (beforeSite) results.push({ name: `the page of ${before}${nth}`, ...await pageUpdate(browser, beforeSite, 'before') });
    results.push({ name: `the page${nth}`, ...await pageUpdate(browser, site, 'page') });
  }
  await browser.close();
} finally {
  for (const loop of loops) loop.kill();
  fs.rmSync(work, { recursive: true, force: true });
}

const weight = fs.readdirSync(site).filter((f) => /\.(js|wasm)$/.test(f))
  .reduce((sum, f) => sum + fs.statSync(path.join(site, f)).size, 0);
console.log(`web page against kelvoup: ${path.basename(image)} as ${chip}, 9600 baud, 20 ms a row` +
  (busy > 0 ? `, ${busy} busy loops beside it` : ''));
const [alone, ...pages] = results;
console.log(`  kelvoup:      ${alone.seconds.toFixed(3)} s (status ${alone.status})`);
for (const p of pages) {
  const m = p.main;
  console.log(`  ${p.name}: ${p.seconds.toFixed(3)} s (${p.outcome}) = ${(p.seconds / alone.seconds).toFixed(4)} of kelvoup`);
  console.log(`    main thread during the update: ${m.count} tasks, ${m.over16} over 16 ms, the longest ` +
    `${m.longest.toFixed(1)} ms (${m.cpu.toFixed(1)} ms on the CPU): ` +
    `${m.what.join(', ') || 'no script, layout or paint of the page in it'}; the most CPU of a task ` +
    `${m.mostCpu.toFixed(1)} ms`);
  console.log(`    long tasks (PerformanceObserver, over 50 ms): ${p.longTasks.length}` +
    (p.longTasks.length > 0 ? `, the longest ${Math.max(...p.longTasks).toFixed(1)} ms` : ''));
}
console.log(`  wasm and JavaScript: ${weight} bytes (${(weight / 1024).toFixed(1)} KiB)`);
process.exit(0);
