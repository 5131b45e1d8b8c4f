// The page: chooses files, shows an archive's header, asks for passwords and offers results for
// saving. The work itself runs in a worker (worker.js) built from the source inlined in the page,
// so that the page stays responsive while a large file is decrypted or encrypted.
'use strict';

const $ = (id) => document.getElementById(id);
const kDefaultTitle = 'Kestrix ZQV SFX';
const kMiB = 1048576;

const workerUrl = URL.createObjectURL(new Blob([$('worker-source').textContent], { type: 'text/javascript' }));
const stubBytes = Uint8Array.from(atob($('stub').textContent.trim()), (c) => c.charCodeAt(0));

// Paths forced in place of what the browser offers, for the tests, through the page's address:
// "#force=copying-reader" reads files through a default stream reader, copying, as on browsers
// whose Blob streams are no byte streams; "#force=page-reads" has the page read files for its
// worker, as on browsers whose workers can read no Blob; "#force=module-aes" runs AES on the
// module's code, as on browsers without the Web Cryptography API (an insecure context);
// "#force=blob-output" and "#force=disk-output" choose where the output goes (see below).
const kForced = new URLSearchParams(location.hash.slice(1)).getAll('force');

// ---- Helpers ------------------------------------------------------------------------------------

function setStatus(which, state, text) {
  const p = $(`${which}-status`);
  p.dataset.state = state;
  p.textContent = text;
}

function formatBytes(n) {
  if (n < 1024) return `${n} bytes`;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let v = n / 1024, i = 0;
  while (v >= 1024 && i < units.length - 1) { v /= 1024; ++i; }
  return `${v.toFixed(v < 10 ? 2 : 1)} ${units[i]} (${n.toLocaleString('en')} bytes)`;
}

function rate(bytes, seconds) {
  return seconds > 0 ? `${(bytes / kMiB / seconds).toFixed(1)} MiB/s` : '';
}

// ---- Where the output goes ----------------------------------------------------------------------

// An open's plaintext and a made archive go to a file of the browser's own file system (the
// origin private file system), which the worker that stores them writes through a sync access
// handle, at the disk's speed, and which the save link offers as the File the browser backs with
// that disk file: the output never lives in memory. Where the browser has no such file system, or
// refuses it to the page (Chromium, to a page opened from disk, in its default settings), the
// output goes to a Blob, which Chromium and Firefox keep on disk and WebKit in memory.
// "#force=blob-output" takes the Blob in place of the file system, "#force=disk-output" refuses
// to start where the file system cannot be had.
const kOutputPrefix = 'zqv-output-';
// The most output the page keeps in memory, where the browser keeps its Blobs there, and the size
// above which it says so. WebKitGTK 2.50 holds the output in its network process and, while the
// page works, as much again and more in the page's process until it collects it: opening 1 GiB
// raised its memory by 2.5 GiB at most from disk and by 3.8 GiB served, 256 MiB by 1.5 GiB. The
// page takes 4 bytes per byte of output as what it may cost, and so makes no output over 2 GiB.
const kMemoryOutputLimit = 2 * 1024 * kMiB;
const kMemoryOutputNote = 256 * kMiB;
const kMemoryBytesPerByte = 4;

// The page's folder in the browser's file system, or null where it has none for the page; the
// outputs an earlier visit left there are removed first. Settled once, at load.
const outputFolder = (async () => {
  if (!(navigator.storage && navigator.storage.getDirectory && navigator.storage.estimate)) return null;
  try {
    const folder = await navigator.storage.getDirectory();
    await removeStale(folder);
    return kForced.includes('blob-output') ? null : folder;
  } catch (e) {
    return null;
  }
})();

// Whether the browser keeps Blobs in memory: the page assumes it does where it has no storage
// manager at all (WebKitGTK), not where it has one and refuses the file system to the page.
const blobsInMemory = !(navigator.storage && navigator.storage.estimate);

// Removes the outputs no page holds: those an earlier visit left (a closed tab, a download still
// kept at the end of a visit). Each output is held under a lock of its name while a page keeps
// it, so another tab's outputs stay; without locks every output of the page's is taken as stale.
async function removeStale(folder) {
  const names = [];
  for await (const name of folder.keys()) if (name.startsWith(kOutputPrefix)) names.push(name);
  for (const name of names) {
    if (navigator.locks) {
      await navigator.locks.request(name, { ifAvailable: true }, (lock) =>
        lock && folder.removeEntry(name).catch(() => {}));
    } else {
      await folder.removeEntry(name).catch(() => {});
    }
  }
}

// A new output of `bytes` bytes: { store } to hand to the worker ({ kind: 'disk', name } or
// { kind: 'blob' }), remove() to remove what the worker left of it, and a note to show with the
// work. Refuses, saying what it needs, an output the browser's storage has no room for (by its
// storage manager's estimate, which bounds Chromium's Blob store as well as the file system) or
// that the page would keep in memory beyond its limit.
async function reserveOutput(bytes) {
  const folder = await outputFolder;
  if (!folder && kForced.includes('disk-output')) throw new Error('This browser gives the page no file system of its own.');
  if (!blobsInMemory) {
    // A browser that refuses the page its storage may refuse the estimate too: then there is
    // nothing to check against, and the browser's own store says when it is full.
    const { quota, usage } = await navigator.storage.estimate().catch(() => ({ quota: Infinity, usage: 0 }));
    const room = Math.max(0, quota - usage);
    if (bytes > room) {
      throw new Error(`Not enough room: the output needs ${formatSize(bytes)} of the browser's storage, and the ` +
                      `browser gives this page ${formatSize(room)} more. Free some disk space and try again.`);
    }
  } else if (bytes > kMemoryOutputLimit) {
    throw new Error(`This browser keeps the whole output in memory, up to about ${formatSize(bytes * kMemoryBytesPerByte)} ` +
                    `for ${formatSize(bytes)}: the page makes no output over ${formatSize(kMemoryOutputLimit)} in it. ` +
                    'Firefox and Chrome write it to disk instead: use one of them for this file.');
  }
  if (!folder) {
    const note = blobsInMemory && bytes > kMemoryOutputNote ?
      ` This browser keeps the whole output in memory (up to about ${formatSize(bytes * kMemoryBytesPerByte)}); ` +
      'Firefox and Chrome write it to disk.' : '';
    return { store: { kind: 'blob' }, remove: async () => {}, note };
  }
  const name = `${kOutputPrefix}${Date.now()}-${Math.random().toString(36).slice(2, 10)}`;
  // The lock of the name, held until the output is removed (see removeStale).
  let release = () => {};
  if (navigator.locks) {
    await new Promise((held) => navigator.locks.request(name, () => new Promise((done) => {
      release = done;
      held();
    })));
  }
  let removed = null;
  return {
    store: { kind: 'disk', name, only: kForced.includes('disk-output') },
    note: '',
    // Removes the file, waiting while a worker that was ended still has it open.
    remove() {
      removed = removed || (async () => {
        for (let tries = 0; ; ++tries) {
          try {
            await folder.removeEntry(name);
            break;
          } catch (e) {
            if (e.name === 'NotFoundError' || tries >= 50) break;
            await new Promise((resume) => setTimeout(resume, 100));
          }
        }
        release();
      })();
      return removed;
    },
  };
}

// Where the output would go to a Blob and the browser lets the page ask for a file to save to
// (showSaveFilePicker: Chromium's, from disk in its default settings), the page offers to write
// an open's plaintext straight to a file the user picks, as it is decrypted, in place of the
// Blob and the save link. Off unless ticked; the picker is asked for in the click that starts the
// work, the only place the browser shows it.
outputFolder.then((folder) => {
  $('open-pick').hidden = !(!folder && typeof window.showSaveFilePicker === 'function');
});
const pickingFile = () => !$('open-pick').hidden && $('open-pick-file').checked;

function formatSize(n) {
  return n < kMiB ? `${Math.ceil(n / 1024)} KiB` : n < 1024 * kMiB ? `${(n / kMiB).toFixed(0)} MiB`
    : `${(n / 1024 / kMiB).toFixed(1)} GiB`;
}

// The outputs on offer, one per tab: { output (a reserveOutput), url }.
const offered = { open: null, make: null };

// A save link for `file` (a File or Blob, the output `output` holds), replacing the one before.
async function offer(which, output, file, name, label) {
  await withdraw(which);
  const a = $(`${which}-save`);
  offered[which] = { output, url: URL.createObjectURL(file) };
  a.href = offered[which].url;
  a.download = name;
  a.dataset.bytes = file.size;  // for the tests: some browsers write a download under its name
  a.textContent = label;
  a.hidden = false;
}

// Takes the save link away and removes the output it offered. The output is kept until then (the
// next file opened or made, or the next visit): the browser tells a page nothing of when a
// download has finished, and removing the file earlier would cut the download short.
async function withdraw(which) {
  const a = $(`${which}-save`);
  a.removeAttribute('href');
  a.hidden = true;
  const was = offered[which];
  offered[which] = null;
  if (was) {
    URL.revokeObjectURL(was.url);
    await was.output.remove();
  }
}

// Removes every output the page keeps, when the page goes (a reload, the tab closed): what a
// browser does not finish then is removed at the next visit.
addEventListener('pagehide', () => { for (const which of ['open', 'make']) withdraw(which); });

// ---- The worker ---------------------------------------------------------------------------------

// The decrypters an open spreads its windows over: one per core the browser reports, two to four.
// On 2 cores two beat one where the cipher is slow (3DES at 256 MiB, medians of 5 runs: 51 and 47
// against 36 MiB/s) and are as fast as one for AES-256 (runs of 72 and 77 against 78 and 67),
// where the worker that reads, hashes and stores takes about as much as the decryption.
const kDecrypters = Math.min(4, Math.max(2, navigator.hardwareConcurrency || 2));

// The buffers a message between the workers carries, handed on with it: a window or piece's
// `buffer`, or the `spare` given back to be used again.
const buffersOf = (data) => [data.buffer, data.spare].filter((b) => b instanceof ArrayBuffer);

// One job at a time per tab; a cancelled job's worker is ended and a new one started.
class Runner {
  constructor(which) {
    this.which = which;
    this.worker = null;
    this.decrypters = [];
    this.reads = new Map();  // the page's readers of files the worker asked it to read
    this.onDone = null;
    $(`${which}-cancel`).addEventListener('click', () => this.cancel());
  }
  // The worker and, beside it, the decrypters that decrypt an archive's body with it and the
  // hasher that hashes and stores the plaintext (worker.js). Their messages to one another come
  // through here and are handed on with the buffers they carry (worker.js: relayPort).
  ensure() {
    if (!this.worker) {
      this.worker = new Worker(workerUrl);
      this.decrypters = [];
      for (let k = 0; k < kDecrypters; ++k) this.decrypters.push(new Worker(workerUrl));
      this.hasher = new Worker(workerUrl);
      const worker = this.worker;
      const helpers = new Map([...this.decrypters.entries(), ['hasher', this.hasher]]);
      for (const w of this.workers()) w.postMessage({ cmd: 'setup', forced: kForced });
      for (const [from, helper] of helpers) {
        helper.postMessage({ cmd: from === 'hasher' ? 'serve-hashing' : 'serve-windows' });
        helper.onmessage = (e) => worker.postMessage({ cmd: 'relay', from, data: e.data }, buffersOf(e.data));
      }
      worker.postMessage({ cmd: 'helpers', decrypters: this.decrypters.length });
      worker.onmessage = (e) => {
        const m = e.data;
        if (m.type === 'relay') helpers.get(m.to).postMessage(m.data, buffersOf(m.data));
        else this.message(m);
      };
      for (const w of this.workers()) {
        w.onerror = (e) => {
          e.preventDefault();
          this.finish({ type: 'failed', text: e.message || 'The worker stopped.' });
          this.stop();
        };
      }
    }
    return this.worker;
  }
  workers() { return this.worker ? [this.worker, ...this.decrypters, this.hasher] : []; }
  stop() {
    const hasher = this.hasher;
    for (const w of this.workers()) {
      w.onmessage = null;
      w.onerror = null;
      if (w !== hasher || !this.picked) w.terminate();
    }
    // A picked file's writing is discarded first, so that the browser leaves the file as it was,
    // rather than only dropped with the hasher; it is ended when it says so, or after a while.
    if (this.worker && this.picked) {
      const end = () => hasher.terminate();
      hasher.onmessage = end;
      hasher.postMessage({ cmd: 'abort-output' });
      setTimeout(end, 5000);
    }
    for (const reader of this.reads.values()) reader.cancel().catch(() => {});
    this.reads.clear();
    this.worker = null;
    this.decrypters = [];
  }
  // Sends `message`; `onDone` gets the worker's answer. `busy` shows the progress bar.
  run(message, onDone, busy, transfer = []) {
    this.onDone = onDone;
    this.picked = message.store && message.store.kind === 'picked';
    this.started = performance.now();
    if (busy) this.showProgress(0, 1);
    this.ensure().postMessage(message, transfer);
  }
  message(m) {
    if (m.type === 'progress') return this.showProgress(m.done, m.total);
    if (m.type.startsWith('read')) return this.readForWorker(m);
    // How the worker read the file and which AES ran, for the tests.
    if (m.reads) document.documentElement.dataset[`${this.which}Reads`] = m.reads;
    if (m.aes !== undefined) document.documentElement.dataset[`${this.which}Aes`] = m.aes;
    this.finish(m);
  }
  // Reads a file for the worker where the browser lets workers read no Blob: 'read' names the
  // Blob, each 'read-next' is answered with the next chunk of the page's reader, handed over.
  readForWorker(m) {
    const worker = this.worker;
    if (m.type === 'read') return void this.reads.set(m.id, m.blob.stream().getReader());
    const reader = this.reads.get(m.id);
    if (!reader) return;
    if (m.type === 'read-cancel') {
      this.reads.delete(m.id);
      return void reader.cancel().catch(() => {});
    }
    reader.read().then(({ done, value }) => {
      if (done) this.reads.delete(m.id);
      worker.postMessage({ cmd: 'chunk', id: m.id, done, value }, value ? [value.buffer] : []);
    }, (e) => worker.postMessage({ cmd: 'chunk', id: m.id, error: e.message || String(e) }));
  }
  finish(m) {
    $(`${this.which}-progress`).hidden = true;
    const done = this.onDone;
    this.onDone = null;
    if (done) done(m);
  }
  showProgress(done, total) {
    $(`${this.which}-progress`).hidden = false;
    const bar = $(`${this.which}-bar`);
    bar.max = Math.max(total, 1);
    bar.value = done;
    const seconds = (performance.now() - this.started) / 1000;
    const pct = total > 0 ? Math.floor((100 * done) / total) : 0;
    $(`${this.which}-progress-text`).textContent =
      `${pct}% · ${(done / kMiB).toFixed(0)} of ${(total / kMiB).toFixed(0)} MiB · ${rate(done, seconds)}`;
  }
  cancel() {
    if (!this.onDone) return;
    this.stop();
    this.finish({ type: 'cancelled' });
  }
}

const openRunner = new Runner('open');
const makeRunner = new Runner('make');

// ---- Settings shared by both tabs ---------------------------------------------------------------

for (const name of ZqvCodepages.names) $('codepage').add(new Option(ZqvCodepages.label(name), name));
const codepage = () => $('codepage').value;

for (const tab of ['open', 'make']) {
  $(`tab-${tab}`).addEventListener('click', () => {
    for (const other of ['open', 'make']) {
      $(`tab-${other}`).setAttribute('aria-selected', String(other === tab));
      $(other).hidden = other !== tab;
    }
  });
}

// ---- Open ---------------------------------------------------------------------------------------

let openFile = null;

function showInfo(file, info) {
  $('open-info').hidden = false;
  $('open-file-name').textContent = `${file.name} · ${formatBytes(file.size)}`;
  const dl = $('open-fields');
  dl.replaceChildren();
  const row = (term, value) => {
    const dt = document.createElement('dt');
    dt.textContent = term;
    const dd = document.createElement('dd');
    dd.textContent = value;
    dl.append(dt, dd);
  };
  if (info.check === 1) return;
  let name = info.downloadName !== undefined ? info.downloadName : `refused: ${info.nameFault}`;
  if (info.downloadName !== undefined && info.storedName !== info.downloadName) name += ` (stored as “${info.storedName}”)`;
  row('Output name', name);
  row('Title', info.title || `${kDefaultTitle} (default)`);
  row('Cipher', info.cipherName);
  row('Size', info.sizeRange
    ? (info.sizeRange[0] === info.sizeRange[1] ? formatBytes(info.sizeRange[0])
      : `${formatBytes(info.sizeRange[0])} to ${info.sizeRange[1] - info.sizeRange[0]} bytes more`)
    : 'unknown');
  // The certificate table a signer appended: the body ends before it, and its signature is
  // the signing tools' to judge.
  if (info.signatureSize > 0)
    row('Signed', `a certificate table of ${info.signatureSize.toLocaleString('en')} bytes; the page does not check the signature`);
  row('Destination', info.destinationMode === 'as stored' ? (info.destination || '(empty)') : info.destinationMode);
  row('Existing file', info.overwriteMode + (info.hideOverwrite ? ' (the dialog hides the choice)' : ''));
  row('Run after', info.runAfter || '(nothing)');
  if (info.autoStart) row('Starts', 'at once, without waiting for the Decrypt button');
}

let openInfo = null;

async function chooseOpenFile(file) {
  openRunner.cancel();
  openFile = file;
  openInfo = null;
  await withdraw('open');
  $('open-form').hidden = true;
  $('open-info').hidden = true;
  setStatus('open', 'busy', 'Reading the header…');
  openRunner.run({ cmd: 'inspect', file, codepage: codepage() }, (m) => {
    if (m.type !== 'inspected') return setStatus('open', 'error', m.text || 'Cancelled.');
    showInfo(file, m.info);
    openInfo = m.info;
    if (m.info.problem) return setStatus('open', 'error', m.info.problem);
    setStatus('open', 'ready', 'Type the password to decrypt and verify the file.');
    $('open-form').hidden = false;
    $('open-password').focus();
  }, false);
}

$('open-file').addEventListener('change', (e) => { if (e.target.files[0]) chooseOpenFile(e.target.files[0]); });
const drop = $('drop');
drop.addEventListener('dragover', (e) => { e.preventDefault(); drop.classList.add('over'); });
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => {
  e.preventDefault();
  drop.classList.remove('over');
  if (e.dataTransfer.files[0]) chooseOpenFile(e.dataTransfer.files[0]);
});
// A file dropped anywhere else must not make the browser navigate away from the page.
window.addEventListener('dragover', (e) => e.preventDefault());
window.addEventListener('drop', (e) => e.preventDefault());
$('codepage').addEventListener('change', () => { if (openFile) chooseOpenFile(openFile); });

// What an output of the page's is, for the tests: "disk" (the browser's file system) or "blob".
function noteOutput(which, kind) {
  if (kind) document.documentElement.dataset[`${which}Output`] = kind;
}

$('open-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  if (!openFile || !openInfo) return;
  // The file to save to, asked for first: the browser shows its picker only during the click.
  $('open-go').disabled = true;
  let picked = null;
  if (pickingFile()) {
    try {
      picked = await window.showSaveFilePicker({ suggestedName: openInfo.downloadName });
    } catch (error) {
      $('open-go').disabled = false;
      if (error.name === 'AbortError') return setStatus('open', 'ready', 'No file chosen: nothing was decrypted.');
      return setStatus('open', 'error', `The browser gave no file to save to: ${error.message}`);
    }
  }
  await withdraw('open');
  let output;
  try {
    const info = openInfo;
    output = picked ? { store: { kind: 'picked', handle: picked }, remove: async () => {}, note: '' }
      : await reserveOutput(info.sizeRange ? info.sizeRange[1] : info.bodySize);
  } catch (error) {
    $('open-go').disabled = false;
    return setStatus('open', 'error', error.message);
  }
  // What is said of a picked file when the open does not end well: the browser discarded what
  // was written, unless it did not confirm that.
  const notSaved = (m) => !picked ? '' : m.untrusted
    ? ` ${picked.name} may hold part of the output: do not trust it, delete it.`
    : ` ${picked.name} was not saved: the browser discarded what was written to it.`;
  setStatus('open', 'busy', `Decrypting and verifying${picked ? ` into ${picked.name}` : ''}…${output.note}`);
  openRunner.run({ cmd: 'open', file: openFile, password: $('open-password').value, codepage: codepage(),
                   store: output.store }, async (m) => {
    $('open-go').disabled = false;
    noteOutput('open', m.output);
    if (m.type !== 'opened') output.remove();
    if (m.type === 'opened' && picked) {
      setStatus('open', 'done', `Verified: the SHA-1 digest matches. Saved as ${picked.name}, ` +
                `${formatBytes(m.size)}, in ${m.seconds.toFixed(2)} s (${rate(m.bytes, m.seconds)}).`);
    } else if (m.type === 'opened') {
      setStatus('open', 'done', `Verified: the SHA-1 digest matches. ${m.info.downloadName}, ` +
                `${formatBytes(m.file.size)}, in ${m.seconds.toFixed(2)} s (${rate(m.bytes, m.seconds)}).${output.note}`);
      await offer('open', output, m.file, m.info.downloadName, `Save ${m.info.downloadName}`);
    } else if (m.type === 'wrong') {
      setStatus('open', 'wrong', ZqvCore.kWrongPasswordText + notSaved(m));
      $('open-password').select();
      $('open-password').focus();
    } else if (m.type === 'cancelled') {
      setStatus('open', 'ready', `Cancelled.${notSaved(m)}`);
    } else {
      setStatus('open', 'error', m.text + notSaved(m));
    }
  }, true);
});

// ---- Make ---------------------------------------------------------------------------------------

// The self-extractor's name: the carried file's name with .exe in place of its extension.
function exeName(name) {
  const dot = name.lastIndexOf('.');
  return `${dot > 0 ? name.slice(0, dot) : name || 'archive'}.exe`;
}

$('make-file').addEventListener('change', (e) => {
  const file = e.target.files[0];
  if (file) $('make-name').placeholder = file.name;
  withdraw('make');
  setStatus('make', 'empty', '');
});

function readSeed() {
  const text = $('make-seed').value.trim();
  if (text === '') return null;
  if (!/^\d+$/.test(text) || Number(text) > 0xffffffff)
    throw new Error('Chaining seed: a whole number of milliseconds from 0 to 4294967295, or empty.');
  return Number(text);
}

// The bytes a made archive takes at most: the stub, the header, the chaining block and the body,
// whose last block may be a whole block of padding.
const kMakeSlack = 832 + 2 * 16;

$('make-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  $('make-go').disabled = true;
  await withdraw('make');
  $('make-go').disabled = false;
  const file = $('make-file').files[0];
  let options;
  try {
    if (!file) throw new Error('Choose the file to carry.');
    if ($('make-password').value !== $('make-password2').value) throw new Error('The two passwords differ.');
    if ($('make-password').value === '') throw new Error('Type a password.');
    const destinationMode = Number(document.querySelector('input[name="dest"]:checked').value);
    if (destinationMode === 2 && $('make-folder').value.trim() === '') throw new Error('Type the destination folder.');
    options = {
      name: $('make-name').value || file.name,
      title: $('make-title').value,
      destinationMode,
      destination: destinationMode === 2 ? $('make-folder').value : '',
      overwriteMode: Number($('make-overwrite').value),
      runAfter: $('make-run-after').value,
      hideOverwrite: $('make-hide-mode').checked,
      autoStart: $('make-auto-start').checked,
      cipher: Number($('make-cipher').value),
      password: $('make-password').value,
      codepage: codepage(),
      seed: readSeed(),
    };
  } catch (error) {
    return setStatus('make', 'error', error.message);
  }
  $('make-go').disabled = true;
  let output;
  try {
    output = await reserveOutput(stubBytes.length + kMakeSlack + file.size);
  } catch (error) {
    $('make-go').disabled = false;
    return setStatus('make', 'error', error.message);
  }
  setStatus('make', 'busy', `Encrypting…${output.note}`);
  makeRunner.run({ cmd: 'make', file, options, stub: stubBytes, store: output.store }, async (m) => {
    $('make-go').disabled = false;
    noteOutput('make', m.output);
    if (m.type !== 'made') output.remove();
    if (m.type === 'made') {
      const name = exeName(file.name);
      setStatus('make', 'done', `Made ${name}, ${formatBytes(m.file.size)}, in ${m.seconds.toFixed(2)} s ` +
                `(${rate(m.bytes, m.seconds)}). Send it with the password kept apart.${output.note}`);
      await offer('make', output, m.file, name, `Save ${name}`);
    } else if (m.type === 'cancelled') {
      setStatus('make', 'empty', 'Cancelled.');
    } else {
      setStatus('make', 'error', m.text);
    }
  }, true);
});
