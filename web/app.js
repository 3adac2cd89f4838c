// The KelvoUp page: choose a firmware file (checked at once), choose the device's port, update.
// The update itself runs in a worker (kelvo-worker.js) from the same C++ core as the console tool;
// this page owns the Web Serial port and carries the bytes between it and the worker.
'use strict';

const $ = (id) => document.getElementById(id);
const ui = {
  file: $('file'), drop: $('drop'), fileStatus: $('file-status'),
  connect: $('connect'), portStatus: $('port-status'),
  update: $('update'), cancel: $('cancel'),
  phase: $('phase'), chip: $('chip'), progress: $('progress'), timeLeft: $('time-left'),
  outcome: $('outcome'), outcomeTitle: $('outcome-title'), outcomeText: $('outcome-text'),
  log: $('log'), logAll: $('log-all'), copy: $('copy'), unsupported: $('unsupported'),
};

const worker = new Worker('kelvo-worker.js');
let fileChecked = false;
let port = null;
let running = false;

// --- the messages panel (messages.js): the tool's words, added in batches

const messages = new MessagesPanel(ui.log);
const log = (text) => messages.add(text);
const flushLog = () => messages.flush();

function setStatus(element, text, kind) {
  element.textContent = text;
  element.className = 'status' + (kind ? ' ' + kind : '');
}

function refreshButtons() {
  ui.file.disabled = running;
  ui.connect.disabled = running || !fileChecked || !('serial' in navigator);
  ui.update.disabled = running || !fileChecked || port === null;
  ui.cancel.disabled = !running;
}

// --- step 1: the file, checked at once, before any port is asked for

async function checkFile(name, bytes) {
  fileChecked = false;
  refreshButtons();
  setStatus(ui.fileStatus, `Checking ${name}\u2026`);
  worker.postMessage({ type: 'check', bytes }, [bytes]);
  const result = await next('checked');
  if (result.line !== 0) {
    const problem = result.problem.trim();
    setStatus(ui.fileStatus, `${name} cannot be written: ${problem}. Nothing has been sent to any device. ` +
      'Check that you have the right file, and download it again.', 'bad');
    log(result.problem);
  } else {
    fileChecked = true;
    setStatus(ui.fileStatus, `${name} is a good firmware file (${result.words} words to write).`, 'good');
  }
  refreshButtons();
}

async function readFile(file) {
  await checkFile(file.name, await file.arrayBuffer());
}

ui.file.addEventListener('change', () => { if (ui.file.files.length > 0) readFile(ui.file.files[0]); });
ui.drop.addEventListener('dragover', (e) => { e.preventDefault(); ui.drop.classList.add('over'); });
ui.drop.addEventListener('dragleave', () => ui.drop.classList.remove('over'));
ui.drop.addEventListener('drop', (e) => {
  e.preventDefault();
  ui.drop.classList.remove('over');
  if (!running && e.dataTransfer.files.length > 0) readFile(e.dataTransfer.files[0]);
});

// A vendor's link names the firmware: index.html?hex=app-2.1.hex, a file beside this page.
async function fileFromLink() {
  const name = new URLSearchParams(location.search).get('hex');
  if (!name) return;
  if (!/^[\w.\-/]+$/.test(name) || name.includes('..') || name.startsWith('/')) {
    setStatus(ui.fileStatus, `The link names "${name}", which is not a file of this site.`, 'bad');
    return;
  }
  setStatus(ui.fileStatus, `Loading ${name}\u2026`);
  try {
    const response = await fetch(new URL(name, location.href));
    if (!response.ok) throw new Error(`${response.status} ${response.statusText}`);
    await checkFile(name, await response.arrayBuffer());
  } catch (error) {
    setStatus(ui.fileStatus, `${name} could not be loaded (${error.message}). Choose the file yourself.`, 'bad');
  }
}

// --- step 2: the port

ui.connect.addEventListener('click', async () => {
  try {
    port = await navigator.serial.requestPort();
    setStatus(ui.portStatus, 'Port chosen. Reset the device, then click Update.', 'good');
  } catch (error) {
    port = null;
    setStatus(ui.portStatus, 'No port was chosen. If the list was empty: check that the cable is plugged in ' +
      '(a USB cable that only charges will not do), that its driver is installed (on Windows, look under ' +
      '"Ports (COM & LPT)" in Device Manager), and on Linux that you are in the dialout group ' +
      '(sudo usermod -aG dialout $USER, then log in again). Then click "Choose the port" again.', 'bad');
  }
  refreshButtons();
});

// --- the port's bytes, for the worker

let portOpen = false;
let reader = null;
let writer = null;
let writing = Promise.resolve();
let reading = null;

async function openPort(baud) {
  try {
    await port.open({ baudRate: baud, dataBits: 8, parity: 'odd', stopBits: 1, flowControl: 'none' });
  } catch (error) {
    log(`\nThe port could not be opened: ${error.message}`);
    return 1;
  }
  portOpen = true;
  try {
    await port.setSignals({ dataTerminalReady: false, requestToSend: false });
    writer = port.writable.getWriter();
    reader = port.readable.getReader();
  } catch (error) {
    log(`\nThe port could not be set up: ${error.message}`);
    await closePort();
    return 2;
  }
  writing = Promise.resolve();
  reading = (async () => {
    try {
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        if (value && value.length > 0) worker.postMessage({ type: 'data', bytes: value });
      }
    } catch (error) {
      worker.postMessage({ type: 'gone' });  // unplugged, or the port failed
    }
  })();
  return 0;
}

function writePort(bytes) {
  const w = writer;
  writing = writing.then(() => w.write(bytes)).catch(() => worker.postMessage({ type: 'gone' }));
}

// Closes the port on every path: pending writes (the reset) go out first.
async function closePort() {
  if (!portOpen) return;
  portOpen = false;
  try { await writing; } catch (e) { /* the port failed: nothing more goes out */ }
  if (reader) {
    try { await reader.cancel(); } catch (e) { /* already failed */ }
    try { await reading; } catch (e) { /* ended */ }
    try { reader.releaseLock(); } catch (e) { /* released */ }
  }
  if (writer) {
    try { writer.releaseLock(); } catch (e) { /* released */ }
  }
  reader = null;
  writer = null;
  try { await port.close(); } catch (e) { /* closed already, or gone */ }
}

// --- step 3: the update

const waiting = new Map();
function next(type) {
  return new Promise((resolve) => waiting.set(type, resolve));
}

const progress = { write: 0, read: 0, done: 0, started: 0 };
const failureWords = {
  targetSilent: 'the device did not answer. Reset it and click Update straight away, within a minute.',
  chipUnknown: 'the device\u2019s chip is not one this tool can update, or it did not answer in full. ' +
    'Reset the device and try again.',
  noMemory: 'this computer ran out of memory.',
  nothingToWrite: 'nothing in this file belongs to this device\u2019s chip. Is it the right file for this device?',
  rowRejected: 'the device refused part of the firmware.',
  badData: 'the firmware read back from the device is not the one that was sent.',
  validationFailed: 'the firmware read back from the device is not the one that was sent.',
  portLost: 'the connection to the device was lost. Was the cable unplugged?',
};
let failure = null;

function onEvent(event) {
  log(event.text);
  if (failureWords[event.kind] && failure === null) failure = event.kind;
  switch (event.kind) {
    case 'contacting': ui.phase.textContent = 'Contacting the device\u2026'; break;
    case 'identifying': ui.phase.textContent = 'Identifying its chip\u2026'; break;
    case 'chipIdentified': ui.chip.textContent = `(${event.chip})`; break;
    case 'programming':
      progress.write = event.bytes;
      progress.started = performance.now();
      ui.phase.textContent = 'Writing the firmware\u2026';
      break;
    case 'validating':
      progress.read = event.bytes;
      ui.phase.textContent = 'Checking what the device holds\u2026';
      break;
    case 'rowWritten':
    case 'rowChecked':
      if (event.bytes > 0) showProgress(event.bytes);
      break;
    default: break;
  }
}

// The progress bar and the time left follow the rows at most once a frame, not once an event.
let progressFrame = null;
function showProgress(bytes) {
  progress.done += bytes;
  if (progressFrame === null) progressFrame = requestAnimationFrame(drawProgress);
}

function drawProgress() {
  progressFrame = null;
  // Until the read-back is known, as much is expected back as goes out.
  const total = progress.write + (progress.read > 0 ? progress.read : progress.write);
  const share = total > 0 ? Math.min(1, progress.done / total) : 0;
  ui.progress.value = share;
  const elapsed = (performance.now() - progress.started) / 1000;
  if (share > 0.02) {
    const left = Math.round(elapsed * (1 - share) / share);
    ui.timeLeft.textContent = `About ${Math.floor(left / 60)} min ${left % 60} s left`;
  }
}

function showOutcome(outcome, title, text) {
  ui.outcome.hidden = false;
  ui.outcome.dataset.outcome = outcome;
  ui.outcomeTitle.textContent = title;
  ui.outcomeText.textContent = text;
  ui.outcome.focus();
}

ui.update.addEventListener('click', async () => {
  running = true;
  failure = null;
  Object.assign(progress, { write: 0, read: 0, done: 0, started: performance.now() });
  ui.outcome.hidden = true;
  delete ui.outcome.dataset.outcome;
  ui.chip.textContent = '';
  ui.progress.value = 0;
  ui.timeLeft.textContent = '';
  refreshButtons();
  worker.postMessage({ type: 'update' });
  const { status } = await next('done');
  await closePort();  // closed already by the core; after an error, closed here
  flushLog();
  cancelAnimationFrame(progressFrame);
  progressFrame = null;
  ui.timeLeft.textContent = '';
  running = false;
  refreshButtons();
  ui.phase.textContent = 'Finished';
  if (status === 0) {
    ui.progress.value = 1;
    showOutcome('passed', 'The device has been updated',
      'The new firmware was written and checked. Restart the device to use it.');
  } else if (status === 130) {
    log('\nInterrupted. The device has not been updated: reset it and update again.\n');
    showOutcome('cancelled', 'The update was cancelled',
      'The device has not been updated. Reset it and click Update again when you are ready.');
  } else if (status === 3) {
    showOutcome('failed', 'The port could not be opened',
      'Another program may be using it (a terminal, another update). Close it, then click Update again.');
  } else {
    showOutcome('failed', 'The update failed',
      `The device has not been updated: ${failureWords[failure] || 'see the messages below.'} ` +
      'Reset the device and click Update again. If it fails again, copy the messages below for support.');
  }
  flushLog();
});

ui.cancel.addEventListener('click', () => {
  ui.phase.textContent = 'Cancelling\u2026';
  worker.postMessage({ type: 'stop' });
});

ui.copy.addEventListener('click', async () => {
  ui.copy.textContent = await messages.copy(ui.logAll);
});

worker.onmessage = async (message) => {
  const m = message.data;
  switch (m.type) {
    case 'events': m.events.forEach(onEvent); break;
    case 'open': worker.postMessage({ type: 'reply', id: m.id, value: await openPort(m.baud) }); break;
    case 'write': writePort(m.bytes); break;
    case 'close':
      await closePort();
      worker.postMessage({ type: 'reply', id: m.id, value: 0 });
      break;
    default: {
      const resolve = waiting.get(m.type);
      waiting.delete(m.type);
      if (resolve) resolve(m);
    }
  }
};

if (!('serial' in navigator)) {
  ui.unsupported.hidden = false;
}
refreshButtons();
fileFromLink();
