// The KelvoUp web page in Debian's Chromium, headless, driven by puppeteer-core. Headless Chromium
// cannot open a pty as a serial port, so the page's navigator.serial is replaced, before the page
// loads, by a fake whose port carries the bytes to kelvo-sim on a pty through this script. The
// page knows nothing of it: it asks navigator.serial.requestPort() as it would a real browser.
//
//   node browser-test.mjs SITE KELVO_SIM ARTIFACTS [SCENARIO ...]
//
// Each scenario ends with a screenshot of the page in ARTIFACTS. Exit status 0 when every check held.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { launchBrowser, openPage, record, serveSite, simEnded, srecBytes, startSim } from './harness.mjs';

const [site, simBinary, artifacts, ...only] = process.argv.slice(2);
if (!site || !simBinary || !artifacts) {
  console.error('usage: node browser-test.mjs SITE KELVO_SIM ARTIFACTS [SCENARIO ...]');
  process.exit(2);
}
fs.mkdirSync(artifacts, { recursive: true });
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvo-web-'));

// The worked example: 11 22 33 00 44 55 66 00 at byte address 0x3800 (word 0x1C00).
const workedExample = record(4, 0, [0, 0]) + record(0, 0x3800, [0x11, 0x22, 0x33, 0, 0x44, 0x55, 0x66, 0]) +
  record(1, 0, []);
fs.writeFileSync(path.join(work, 'fw.hex'), workedExample);
fs.writeFileSync(path.join(work, 'bad.hex'), workedExample.replace(':0838', ':0938'));
const { server, origin } = await serveSite(site, { 'fw.hex': path.join(work, 'fw.hex') });

// --- the scenarios

const checks = [];
function check(name, ok, detail = '') {
  checks.push({ name, ok });
  console.log(`${ok ? 'ok' : 'not ok'} - ${name}${ok ? '' : ': ' + detail}`);
}

const scenarios = [
  { name: 'passed', sim: [], expect: 'passed', words: 'Frimware has been successfully updated' },
  { name: 'vendor-link', sim: [], url: '?hex=fw.hex', expect: 'passed', words: 'Frimware has been successfully updated' },
  { name: 'bad-file', file: 'bad.hex' },
  { name: 'unknown-chip', sim: ['--id', '0ABC', '--rev', '3'], expect: 'failed', words: 'The target chip is not responding' },
  { name: 'refused', sim: ['--refuse-all'], expect: 'failed', words: 'did not accept block # 112' },
  { name: 'bad-read-back', sim: ['--flip-readback', '0x1C00:1'], expect: 'failed', words: 'ATTENTION: block #112 has bad data.' },
  { name: 'unplugged', sim: ['--row-ms', '3000'], during: 'unplug', expect: 'failed', words: 'Lost connection to serial port' },
  { name: 'cancelled', sim: ['--row-ms', '3000'], during: 'cancel', expect: 'cancelled', words: 'Interrupted.' },
  { name: 'no-web-serial', noSerial: true },
  // 200% zoom of a 900-pixel window: the page reflows into half the width, nothing cut off.
  { name: 'zoomed-200', zoom: true },
];

const browser = await launchBrowser(path.join(work, 'profile'));
// Copy writes to the clipboard, which the tests read back.
await browser.defaultBrowserContext().overridePermissions(origin, ['clipboard-read', 'clipboard-sanitized-write']);

// The messages as Copy gives them.
async function copiedMessages(page) {
  await page.click('#copy');
  await page.waitForFunction(() => document.getElementById('copy').textContent !== 'Copy the messages');
  const label = await page.$eval('#copy', (e) => e.textContent);
  if (label !== 'Copied') throw new Error(`Copy said "${label}"`);
  return page.evaluate(() => navigator.clipboard.readText());
}

// How many lines "WORDS n" there are, numbered from 0 without a gap (0 if there is a gap).
function numberedFromZero(text, words) {
  const numbers = [...text.matchAll(new RegExp(`^${words} (\\d+)$`, 'gm'))].map((m) => Number(m[1]));
  return numbers.every((n, i) => n === i) ? numbers.length : 0;
}

async function runScenario(s) {
  const sim = s.sim ? await startSim(simBinary, s.sim, path.join(work, `dump-${s.name}.hex`)) : null;
  const page = await openPage(browser, sim, { withoutSerial: s.noSerial, debug: Boolean(process.env.KELVO_WEB_DEBUG) });
  await page.goto(`${origin}/index.html${s.url || ''}`);

  if (s.zoom) {
    await page.setViewport({ width: 450, height: 900, deviceScaleFactor: 2 });
    const fits = await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth &&
      ['file', 'connect', 'update', 'cancel', 'copy'].every((id) => {
        const box = document.getElementById(id).getBoundingClientRect();
        return box.width > 0 && box.right <= window.innerWidth;
      }));
    check(`${s.name}: readable without scrolling sideways`, fits);
    await page.screenshot({ path: path.join(artifacts, `${s.name}.png`), fullPage: true });
    await page.close();
    return;
  }
  if (s.noSerial) {
    check(`${s.name}: the page says this browser cannot reach serial ports`,
      await page.$eval('#unsupported', (e) => !e.hidden));
    await page.screenshot({ path: path.join(artifacts, `${s.name}.png`), fullPage: true });
    await page.close();
    return;
  }
  if (!s.url) {
    const input = await page.$('#file');
    await input.uploadFile(path.join(work, s.file || 'fw.hex'));
  }
  await page.waitForFunction(() => /good firmware file|cannot be written|could not be loaded/.test(
    document.getElementById('file-status').textContent), { timeout: 10000 });
  const fileStatus = await page.$eval('#file-status', (e) => e.textContent);
  if (!s.expect) {
    check(`${s.name}: refused with its line and reason`, fileStatus.includes('line 2: record length mismatch'), fileStatus);
    check(`${s.name}: the port cannot be asked for`, await page.$eval('#connect', (e) => e.disabled));
    check(`${s.name}: no port was requested`, (await page.evaluate(() => window.__kelvoFake.requestPort)) === 0);
    await page.screenshot({ path: path.join(artifacts, `${s.name}.png`), fullPage: true });
    await page.close();
    return;
  }
  check(`${s.name}: the file is checked at once`, fileStatus.includes('good firmware file'), fileStatus);
  await page.click('#connect');
  await page.waitForFunction(() => !document.getElementById('update').disabled);
  // The long tasks of the update itself (the page's first layout is not the update's, and takes
  // long on a busy machine).
  await page.evaluate(() => { window.__longTasks = []; });
  const started = Date.now();
  await page.click('#update');
  if (s.during) {
    await page.waitForFunction(() => document.getElementById('phase').textContent.startsWith('Writing'), { timeout: 20000 });
    await new Promise((r) => setTimeout(r, 300));
    if (s.during === 'unplug') await page.evaluate(() => window.__kelvoFakeUnplug());
    else await page.click('#cancel');
  }
  await page.waitForSelector('#outcome[data-outcome]', { timeout: 120000 });
  const seconds = (Date.now() - started) / 1000;
  const outcome = await page.$eval('#outcome', (e) => e.dataset.outcome);
  await new Promise((r) => setTimeout(r, 200));
  const panel = await page.$eval('#log', (e) => e.textContent);
  const log = await copiedMessages(page);
  const fake = await page.evaluate(() => window.__kelvoFake);
  const longTasks = await page.evaluate(() => window.__longTasks);
  check(`${s.name}: ends ${s.expect}`, outcome === s.expect, `${outcome} after ${seconds} s`);
  check(`${s.name}: the messages say "${s.words}"`, log.includes(s.words), log.slice(-400));
  check(`${s.name}: never a success that did not happen`,
    s.expect === 'passed' || !log.includes('Frimware has been successfully updated'));
  check(`${s.name}: the port opened at 9600 8O1 without flow control`, JSON.stringify(fake.open) ===
    JSON.stringify([{ baudRate: 9600, dataBits: 8, parity: 'odd', stopBits: 1, flowControl: 'none' }]), JSON.stringify(fake.open));
  check(`${s.name}: DTR and RTS off`, JSON.stringify(fake.signals) ===
    JSON.stringify([{ dataTerminalReady: false, requestToSend: false }]), JSON.stringify(fake.signals));
  check(`${s.name}: the port closed again`, fake.close === 1, `${fake.close} closes`);
  check(`${s.name}: the page never waited more than 50 ms during the update`, longTasks.every((d) => d <= 50), JSON.stringify(longTasks));
  if (s.expect === 'passed') {
    // The panel shows the last 300 lines (and the line being written) after a line that counts
    // the earlier ones; Copy copies every line, the blocks written and checked numbered without a gap.
    const all = log.split('\n');
    const earlier = Number((/^\u2026 (\d+) earlier lines: Copy copies them all\n/.exec(panel) || [0, 0])[1]);
    const shown = panel.slice(panel.indexOf('\n') + 1);
    const written = numberedFromZero(log, 'writng data blocks - block #');
    const checked = numberedFromZero(log, 'Validating data block #');
    check(`${s.name}: the panel shows the last 300 lines, Copy copies all of them`, shown.split('\n').length <= 301 &&
      earlier > 0 && all.slice(earlier).join('\n') === shown && log.startsWith('\nEstablishing connection') &&
      written > 300 && checked > 300, `the panel shows ${shown.split('\n').length} lines after ${earlier} earlier, ` +
      `Copy ${all.length} lines with ${written} blocks written and ${checked} checked in order`);
    check(`${s.name}: nothing failed to load, no error in the console`, page.problems.length === 0, page.problems.join('; '));
  }
  await page.screenshot({ path: path.join(artifacts, `${s.name}.png`), fullPage: true });
  await page.close();
  await page.done();
  const code = await simEnded(sim, s.expect === 'passed' ? 10000 : 500);
  if (s.expect === 'passed') {
    check(`${s.name}: the target received the reset`, code === 0, `kelvo-sim ended with ${code}`);
    // What the target holds, as srec_cat reads its dump, against the file.
    const want = srecBytes(path.join(work, 'fw.hex'));
    const held = srecBytes(sim.dump);
    let same = want.size > 0;
    for (const [at, value] of want) if (held.get(at) !== value) same = false;
    for (const [at, value] of held) {
      if (!want.has(at) && value !== (at % 4 === 3 ? 0x00 : 0xff)) same = false;
    }
    check(`${s.name}: the target holds the file byte for byte`, same);
  }
}

for (const s of scenarios) {
  if (only.length > 0 && !only.includes(s.name)) continue;
  try {
    await runScenario(s);
  } catch (error) {
    check(`${s.name}: runs to its end`, false, error.stack);
  }
}
await browser.close();
server.close();
fs.rmSync(work, { recursive: true, force: true });
const failed = checks.filter((c) => !c.ok).length;
console.log(`${checks.length - failed} of ${checks.length} checks held`);
process.exit(failed === 0 && checks.length > 0 ? 0 : 1);
