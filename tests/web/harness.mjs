// What the browser tests and the web benchmark share: the site served on the loopback, kelvo-sim
// on a pty, Debian's Chromium through puppeteer-core, and the fake Web Serial port that carries
// the page's bytes to the simulator. The page knows nothing of the fake: it asks
// navigator.serial.requestPort() as it would in a real browser.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import tty from 'node:tty';
import puppeteer from 'puppeteer-core';

// One Intel HEX record with its checksum.
export function record(type, address, data) {
  const bytes = [data.length, address >> 8, address & 0xff, type, ...data];
  const sum = (0x100 - (bytes.reduce((a, b) => a + b, 0) & 0xff)) & 0xff;
  return ':' + [...bytes, sum].map((b) => b.toString(16).toUpperCase().padStart(2, '0')).join('') + '\n';
}

// Where srec_cat (the reference reader) puts every byte of a HEX file: address -> value.
export function srecBytes(file) {
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

// Serves `site` on 127.0.0.1 (a secure context, as Web Serial needs); the files named in `extra`
// (name -> path) are served beside the page, as a vendor's firmware would be.
export async function serveSite(site, extra = {}) {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm',
    '.hex': 'text/plain', '.svg': 'image/svg+xml' };
  const server = http.createServer((request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://x').pathname).replace(/^\/+/, '') || 'index.html';
    const file = extra[name] || path.join(site, path.normalize(name));
    if (!extra[name] && !file.startsWith(site)) { response.writeHead(403).end(); return; }
    fs.readFile(file, (error, data) => {
      if (error) { response.writeHead(404).end(); return; }
      response.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' }).end(data);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { server, origin: `http://127.0.0.1:${server.address().port}` };
}

export function launchBrowser(profile) {
  return puppeteer.launch({
    executablePath: process.env.KELVO_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic', `--user-data-dir=${profile}`],
  });
}

// kelvo-sim with `options`, its memory dumped to `dump` at the end; resolves once it has printed
// the path of its port.
export function startSim(simBinary, options, dump) {
  const child = spawn(simBinary, [...options, '--dump', dump], { stdio: ['ignore', 'pipe', 'ignore'] });
  return new Promise((resolve) => {
    let text = '';
    child.stdout.on('data', (chunk) => {
      text += chunk;
      if (text.includes('\n')) resolve({ child, dump, port: text.split('\n')[0] });
    });
  });
}

// Resolves with the simulator's exit status, stopping it after `ms`.
export function simEnded(sim, ms) {
  return new Promise((resolve) => {
    if (sim.child.exitCode !== null) { resolve(sim.child.exitCode); return; }
    const timer = setTimeout(() => sim.child.kill('SIGTERM'), ms);
    sim.child.on('exit', (code) => { clearTimeout(timer); resolve(code); });
  });
}

// Installed in the page before anything of its own runs: the fake Web Serial port, with a record
// of what the page asked of it, and a record of the main thread's long tasks.
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

// A page with the fake port (or, with `withoutSerial`, a browser without Web Serial), its port's
// bytes carried to and from the simulator `sim` (if any). Returns the page; `done()` waits for the
// last bytes to reach the page and lets the pty go.
export async function openPage(browser, sim, { withoutSerial = false, debug = false } = {}) {
  const page = await browser.newPage();
  if (debug) page.on('console', (m) => console.log(`  [page] ${m.text()}`));
  // What went wrong in the page: errors in its console (a file it could not load among them), and
  // requests answered with an error.
  page.problems = [];
  page.on('console', (m) => { if (m.type() === 'error') page.problems.push(`${m.text()} ${m.location().url || ''}`); });
  page.on('pageerror', (error) => page.problems.push(error.message));
  page.on('response', (r) => { if (r.status() >= 400) page.problems.push(`${r.status()} ${r.url()}`); });
  await page.setViewport({ width: 900, height: 1100 });
  let toPty = null;
  let fromPty = null;
  let pushing = Promise.resolve();
  if (sim) {
    const fd = fs.openSync(sim.port, fs.constants.O_RDWR | fs.constants.O_NOCTTY);
    fromPty = new tty.ReadStream(fd);
    toPty = new tty.WriteStream(fd);
    fromPty.on('data', (chunk) => {
      const bytes = Array.from(chunk);
      pushing = pushing.then(() => page.evaluate((b) => window.__kelvoFakePush(b), bytes)).catch(() => {});
    });
    fromPty.on('error', () => {});
  }
  await page.exposeFunction('kelvoFakeWrite', (bytes) => new Promise((resolve) => toPty.write(Buffer.from(bytes), resolve)));
  await page.evaluateOnNewDocument(withoutSerial ? noSerial : fakeSerial);
  page.done = async () => {
    await pushing;
    if (fromPty) fromPty.destroy();
  };
  return page;
}
