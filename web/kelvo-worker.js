// The page's worker: runs the update core (WebAssembly, kelvo-core.js) and carries its serial I/O
// to the page, which owns the Web Serial port. Every wait of the core yields to this worker's event
// loop (Asyncify), so the port's bytes and a Cancel keep arriving while it waits, and the page
// itself never waits for the core.
'use strict';
importScripts('kelvo-core.js');

const corePromise = createKelvoCore();

// Bytes received from the port, queued until the core takes them.
let chunks = [];
let queued = 0;
let portGone = false;
let waiter = null;  // a read of the core that waits for bytes
const replies = new Map();
let nextRequest = 1;

// The core's events go to the page in batches: those of one stretch of the core's work, at most
// kBatchEvents in one message (the rows that hold nothing give thousands in one go, and the page
// takes a batch in one task), sent before any other message so that the page sees everything in
// the order it happened.
const kBatchEvents = 200;
let events = [];
function sendEvents() {
  if (events.length === 0) return;
  postMessage({ type: 'events', events });
  events = [];
}

function post(message, transfer = []) {
  sendEvents();
  postMessage(message, transfer);
}

function ask(message) {
  return new Promise((resolve) => {
    const id = nextRequest++;
    replies.set(id, resolve);
    post({ ...message, id });
  });
}

function takeBytes(max) {
  const n = Math.min(max, queued);
  const out = new Uint8Array(n);
  let at = 0;
  while (at < n) {
    const head = chunks[0];
    const k = Math.min(head.length, n - at);
    out.set(head.subarray(0, k), at);
    at += k;
    if (k === head.length) chunks.shift();
    else chunks[0] = head.subarray(k);
  }
  queued -= n;
  return out;
}

// Ends the read that waits, with what there is (nothing after a Cancel: the core then stops).
function wake() {
  if (waiter === null) return;
  const w = waiter;
  waiter = null;
  clearTimeout(w.timer);
  w.resolve(queued === 0 && portGone ? null : takeBytes(w.max));
}

// The core's serial port (link/serial_webserial.cpp).
globalThis.kelvoSerial = {
  open(baud) {
    chunks = [];
    queued = 0;
    portGone = false;
    return ask({ type: 'open', baud });
  },
  write(bytes) {
    post({ type: 'write', bytes }, [bytes.buffer]);
  },
  take(max) {
    if (queued === 0) return portGone ? null : new Uint8Array(0);
    return takeBytes(max);
  },
  read(max, waitMs) {
    return new Promise((resolve) => {
      if (queued > 0 || portGone) {
        resolve(queued === 0 ? null : takeBytes(max));
        return;
      }
      waiter = { max, resolve, timer: setTimeout(() => { waiter = null; resolve(new Uint8Array(0)); }, waitMs) };
    });
  },
  close() {
    return ask({ type: 'close' });
  },
};

// The core's events, with the console tool's words for them.
globalThis.kelvoEvent = (event) => {
  if (events.length === 0) queueMicrotask(sendEvents);
  events.push(event);
  if (events.length === kBatchEvents) sendEvents();
};

onmessage = async (message) => {
  const m = message.data;
  switch (m.type) {
    case 'reply': {
      const resolve = replies.get(m.id);
      replies.delete(m.id);
      if (resolve) resolve(m.value);
      break;
    }
    case 'data':
      chunks.push(m.bytes);
      queued += m.bytes.length;
      wake();
      break;
    case 'gone':
      portGone = true;
      wake();
      break;
    case 'check': {
      const core = await corePromise;
      const bytes = new Uint8Array(m.bytes);
      const at = core._malloc(Math.max(1, bytes.length));
      core.HEAPU8.set(bytes, at);
      const line = core.ccall('kelvo_web_check', 'number', ['number', 'number'], [at, bytes.length]);
      core._free(at);
      post({
        type: 'checked',
        line,
        problem: core.ccall('kelvo_web_problem', 'string', [], []),
        words: core.ccall('kelvo_web_words', 'number', [], []),
      });
      break;
    }
    case 'update': {
      const core = await corePromise;
      const status = await core.ccall('kelvo_web_update', 'number', [], [], { async: true });
      post({ type: 'done', status });
      break;
    }
    case 'stop': {
      // Called directly, not through ccall: the update is asleep in the core, and ccall would take
      // this call for an asynchronous one and take over the update's own completion.
      const core = await corePromise;
      core._kelvo_web_stop();
      wake();
      break;
    }
    default:
      break;
  }
};

corePromise.then(() => post({ type: 'ready' }));
