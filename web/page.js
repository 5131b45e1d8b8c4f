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
// module's code, as on browsers without the Web Cryptography API (an insecure context).
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

// A save link for `blob`, replacing the one before (whose object URL is released).
function offer(which, blob, name, label) {
  const a = $(`${which}-save`);
  withdraw(which);
  a.href = URL.createObjectURL(blob);
  a.download = name;
  a.dataset.bytes = blob.size;  // for the tests: some browsers write a download under its name
  a.textContent = label;
  a.hidden = false;
}

function withdraw(which) {
  const a = $(`${which}-save`);
  if (a.href) URL.revokeObjectURL(a.href);
  a.removeAttribute('href');
  a.hidden = true;
}

// ---- The worker ---------------------------------------------------------------------------------

// The decrypters an open spreads its windows over: one per core the browser reports, two to four.
// On 2 cores two beat one where the cipher is slow (3DES at 256 MiB, medians of 5 runs: 51 and 47
// against 36 MiB/s) and are as fast as one for AES-256 (runs of 72 and 77 against 78 and 67),
// where the worker that reads, hashes and stores takes about as much as the decryption.
const kDecrypters = Math.min(4, Math.max(2, navigator.hardwareConcurrency || 2));

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
  // hasher that hashes and stores the plaintext (worker.js).
  ensure() {
    if (!this.worker) {
      this.worker = new Worker(workerUrl);
      this.decrypters = [];
      for (let k = 0; k < kDecrypters; ++k) this.decrypters.push(new Worker(workerUrl));
      this.hasher = new Worker(workerUrl);
      for (const w of this.workers()) w.postMessage({ cmd: 'setup', forced: kForced });
      for (const decrypter of this.decrypters) {
        const windows = new MessageChannel();
        decrypter.postMessage({ cmd: 'serve-windows', port: windows.port2 }, [windows.port2]);
        this.worker.postMessage({ cmd: 'use-decrypter', port: windows.port1 }, [windows.port1]);
      }
      const pieces = new MessageChannel();
      this.hasher.postMessage({ cmd: 'serve-hashing', port: pieces.port2 }, [pieces.port2]);
      this.worker.postMessage({ cmd: 'use-hasher', port: pieces.port1 }, [pieces.port1]);
      this.worker.onmessage = (e) => this.message(e.data);
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
    for (const w of this.workers()) w.terminate();
    for (const reader of this.reads.values()) reader.cancel().catch(() => {});
    this.reads.clear();
    this.worker = null;
    this.decrypters = [];
  }
  // Sends `message`; `onDone` gets the worker's answer. `busy` shows the progress bar.
  run(message, onDone, busy, transfer = []) {
    this.onDone = onDone;
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

function chooseOpenFile(file) {
  openRunner.cancel();
  openFile = file;
  withdraw('open');
  $('open-form').hidden = true;
  $('open-info').hidden = true;
  setStatus('open', 'busy', 'Reading the header…');
  openRunner.run({ cmd: 'inspect', file, codepage: codepage() }, (m) => {
    if (m.type !== 'inspected') return setStatus('open', 'error', m.text || 'Cancelled.');
    showInfo(file, m.info);
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

$('open-form').addEventListener('submit', (e) => {
  e.preventDefault();
  if (!openFile) return;
  withdraw('open');
  $('open-go').disabled = true;
  setStatus('open', 'busy', 'Decrypting and verifying…');
  openRunner.run({ cmd: 'open', file: openFile, password: $('open-password').value, codepage: codepage() }, (m) => {
    $('open-go').disabled = false;
    if (m.type === 'opened') {
      setStatus('open', 'done', `Verified: the SHA-1 digest matches. ${m.info.downloadName}, ` +
                `${formatBytes(m.blob.size)}, in ${m.seconds.toFixed(2)} s (${rate(m.bytes, m.seconds)}).`);
      offer('open', m.blob, m.info.downloadName, `Save ${m.info.downloadName}`);
    } else if (m.type === 'wrong') {
      setStatus('open', 'wrong', ZqvCore.kWrongPasswordText);
      $('open-password').select();
      $('open-password').focus();
    } else if (m.type === 'cancelled') {
      setStatus('open', 'ready', 'Cancelled.');
    } else {
      setStatus('open', 'error', m.text);
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

$('make-form').addEventListener('submit', (e) => {
  e.preventDefault();
  withdraw('make');
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
  setStatus('make', 'busy', 'Encrypting…');
  makeRunner.run({ cmd: 'make', file, options }, (m) => {
    $('make-go').disabled = false;
    if (m.type === 'made') {
      const blob = new Blob([stubBytes, m.header, m.body], { type: 'application/vnd.microsoft.portable-executable' });
      const name = exeName(file.name);
      setStatus('make', 'done', `Made ${name}, ${formatBytes(blob.size)}, in ${m.seconds.toFixed(2)} s ` +
                `(${rate(m.bytes, m.seconds)}). Send it with the password kept apart.`);
      offer('make', blob, name, `Save ${name}`);
    } else if (m.type === 'cancelled') {
      setStatus('make', 'empty', 'Cancelled.');
    } else {
      setStatus('make', 'error', m.text);
    }
  }, true);
});
