// The KelvoUp web page in Debian's Chromium, headless, driven by puppeteer-core. Headless Chromium
// cannot open a pty as a serial port, so the page's navigator.serial is replaced, before the page
// loads, by a fake whose port carries the bytes to kelvo-sim on a pty through this script. The
// page knows nothing of it: it asks navigator.serial.requestPort() as it would a real browser.
//
//   node browser-test.mjs SITE KELVO_SIM ARTIFACTS [SCENARIO ...]
//
// Each scenario ends with a screenshot of the page in ARTIFACTS. Exit status 0 when every check held.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import tty from 'node:tty';
import puppeteer from 'puppeteer-core';

const [site, simBinary, artifacts, ...only] = process.argv.slice(2);
if (!site || !simBinary || !artifacts) {
  console.error('usage: node browser-test.mjs SITE KELVO_SIM ARTIFACTS [SCENARIO ...]');
  process.exit(2);
}
fs.mkdirSync(artifacts, { recursive: true });
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvo-web-'));

// --- files

function record(type, address, data) {
  const bytes = [data.length, address >> 8, address & 0xff, type, ...data];
  const sum = (0x100 - (bytes.reduce((a, b) => a + b, 0) & 0xff)) & 0xff;
  return ':' + [...bytes, sum].map((b) => b.toString(16).toUpperCase().padStart(2, '0')).join('') + '\n';
}
// The worked example: 11 22 33 00 44 55 66 00 at byte address 0x3800 (word 0x1C00).
const workedExample = record(4, 0, [0, 0]) + record(0, 0x3800, [0x11, 0x22, 0x33, 0, 0x44, 0x55, 0x66, 0]) +
  record(1, 0, []);
fs.writeFileSync(path.join(work, 'fw.hex'), workedExample);
fs.writeFileSync(path.join(work, 'bad.hex'), workedExample.replace(':0838', ':0938'));

// Where srec_cat (the reference reader) puts every byte of a HEX file.
function srecBytes(file) {
  const run = spawnSync('/usr/bin/srec_cat', [file, '-intel', '-multiple', '-o', '-', '-vmem', '8'], { encoding: 'utf8' });
  const bytes = new Map();
  let at = 0;
  for (const line of run.stdout.split('\n')) {
    if (line.startsWith('/*')) continue;
    for (const word of line.trim().split(/\s+/)) {
      if (word === '') continue;
      if (word.startsWith('@')) at = parseInt(word.slice(1), 16);
      else bytes.set(at++, parseInt(word, 16));
    }
  }
  return bytes;
}

// --- the site, served on the loopback (a secure context, as Web Serial needs); the firmware file
// of a vendor's link lives beside the page

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm',
  '.hex': 'text/plain', '.png': 'image/png' };
const server = http.createServer((request, response) => {
  const name = decodeURIComponent(new URL(request.url, 'http://x').pathname).replace(/^\/+/, '') || 'index.html';
  const file = name === 'fw.hex' ? path.join(work, 'fw.hex') : path.join(site, path.normalize(name));
  if (!file.startsWith(site) && name !== 'fw.hex') { response.writeHead(403).end(); return; }
  fs.readFile(file, (error, data) => {
    if (error) { response.writeHead(404).end(); return; }
    response.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' }).end(data);
  });
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

// --- the simulated target, and the bridge between its pty and the page's fake port

function startSim(options) {
  const dump = path.join(work, `dump-${Date.now()}.hex`);
  const child = spawn(simBinary, [...options, '--dump', dump], { stdio: ['ignore', 'pipe', 'ignore'] });
  return new Promise((resolve) => {
    let text = '';
    child.stdout.on('data', (chunk) => {
      text += chunk;
      if (text.includes('\n')) resolve({ child, dump, port: text.split('\n')[0] });
    });
  });
}

function ended(child, ms) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) { resolve(child.exitCode); return; }
    const timer = setTimeout(() => { child.kill('SIGTERM'); }, ms);
    child.on('exit', (code) => { clearTimeout(timer); resolve(code); });
  });
}

// Installed in the page before anything of its own runs.
function fakeSerial() {
  const seen = { requestPort: 0, open: [], signals: [], close: 0, written: 0 };
  window.__kelvoFake = seen;
  window.__longTasks = [];
  new PerformanceObserver((list) => {
    for (const entry of list.getEntries()) window.__longTasks.push(entry.duration);
  }).observe({ type: 'longtask', buffered: true });
  let controller = null;
  let unplugged = false;
  const port = {
    readable: null,
    writable: null,
    async open(options) {
      if (this.readable !== null) throw new DOMException('The port is already open.', 'InvalidStateError');
      seen.open.push(options);
      this.readable = new ReadableStream({ start(c) { controller = c; } });
      this.writable = new WritableStream({
        async write(chunk) {
          if (unplugged) throw new DOMException('The device has been lost.', 'NetworkError');
          seen.written += chunk.length;
          await window.kelvoFakeWrite(Array.from(chunk));
        },
      });
    },
    async setSignals(signals) { seen.signals.push(signals); },
    async close() {
      if (this.readable !== null && this.readable.locked) throw new TypeError('The port\'s streams are locked.');
      seen.close += 1;
      this.readable = null;
      this.writable = null;
      controller = null;
    },
    getInfo() { return {}; },
  };
  window.__kelvoFakePush = (bytes) => { if (controller !== null && !unplugged) controller.enqueue(new Uint8Array(bytes)); };
  window.__kelvoFakeUnplug = () => {
    unplugged = true;
    if (controller !== null) controller.error(new DOMException('The device has been lost.', 'NetworkError'));
  };
  Object.defineProperty(navigator, 'serial', {
    value: {
      async requestPort() { seen.requestPort += 1; return port; },
      async getPorts() { return [port]; },
      addEventListener() {},
      removeEventListener() {},
    },
  });
}

function noSerial() {
  delete Navigator.prototype.serial;
}

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
];

const browser = await puppeteer.launch({
  executablePath: process.env.KELVO_CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic',
    `--user-data-dir=${path.join(work, 'profile')}`],
});

async function runScenario(s) {
  const page = await browser.newPage();
  if (process.env.KELVO_WEB_DEBUG) page.on('console', (m) => console.log(`  [page] ${m.text()}`));
  await page.setViewport({ width: 900, height: 1100 });
  let sim = null;
  let ptyOut = null;
  let pushing = Promise.resolve();
  if (s.sim) {
    sim = await startSim(s.sim);
    const fd = fs.openSync(sim.port, fs.constants.O_RDWR | fs.constants.O_NOCTTY);
    const ptyIn = new tty.ReadStream(fd);
    ptyOut = new tty.WriteStream(fd);
    ptyIn.on('data', (chunk) => {
      const bytes = Array.from(chunk);
      pushing = pushing.then(() => page.evaluate((b) => window.__kelvoFakePush(b), bytes)).catch(() => {});
    });
    ptyIn.on('error', () => {});
    sim.pty = ptyIn;
  }
  await page.exposeFunction('kelvoFakeWrite', (bytes) => new Promise((resolve) => ptyOut.write(Buffer.from(bytes), resolve)));
  await page.evaluateOnNewDocument(s.noSerial ? noSerial : fakeSerial);
  await page.goto(`${origin}/index.html${s.url || ''}`);

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
  const log = await page.$eval('#log', (e) => e.textContent);
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
  check(`${s.name}: the page never waited more than 50 ms`, longTasks.every((d) => d <= 50), JSON.stringify(longTasks));
  await page.screenshot({ path: path.join(artifacts, `${s.name}.png`), fullPage: true });
  await page.close();
  await pushing;
  const code = await ended(sim.child, s.expect === 'passed' ? 10000 : 500);
  sim.pty.destroy();
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
