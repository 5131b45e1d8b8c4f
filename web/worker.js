// The page's worker: opens and makes archives with the WebAssembly module (createZqvModule, its
// binary in kZqvWasmBase64) and the shared logic (ZqvCore), all placed before this file. The chosen File is read in fixed
// chunks with FileReaderSync; the output is kept as Blob parts, sealed every few dozen MiB so
// that the browser may keep them out of the worker's memory.
'use strict';

const kSealBytes = 32 << 20;

function fileSource(file) {
  const reader = new FileReaderSync();
  return {
    size: file.size,
    read: (offset, count) => new Uint8Array(reader.readAsArrayBuffer(file.slice(offset, offset + count))),
  };
}

function blobSink() {
  const parts = [];
  let pending = [], pendingBytes = 0;
  const seal = () => {
    if (pending.length) parts.push(new Blob(pending));
    pending = [];
    pendingBytes = 0;
  };
  return {
    write(bytes) {
      pending.push(bytes);
      pendingBytes += bytes.length;
      if (pendingBytes >= kSealBytes) seal();
    },
    blob(type) {
      seal();
      return new Blob(parts, { type });
    },
  };
}

const session = ZqvCore.createSession(createZqvModule, ZqvCodepages, {
  wasmBinary: Uint8Array.from(atob(kZqvWasmBase64), (c) => c.charCodeAt(0)),
});
const progress = (done, total) => postMessage({ type: 'progress', done, total });

onmessage = async (event) => {
  const m = event.data;
  try {
    const zqv = await session;
    if (m.cmd === 'inspect') {
      postMessage({ type: 'inspected', info: zqv.inspect(fileSource(m.file), m.codepage) });
    } else if (m.cmd === 'open') {
      const sink = blobSink();
      const started = performance.now();
      const r = zqv.open(fileSource(m.file), sink, m.password, m.codepage, progress);
      const seconds = (performance.now() - started) / 1000;
      if (r.result === 'wrong') postMessage({ type: 'wrong' });
      else postMessage({ type: 'opened', info: r.info, blob: sink.blob('application/octet-stream'), seconds,
                         bytes: r.info.bodySize });
    } else if (m.cmd === 'make') {
      const sink = blobSink();
      const started = performance.now();
      const header = zqv.make(fileSource(m.file), sink, m.options, progress);
      const seconds = (performance.now() - started) / 1000;
      postMessage({ type: 'made', header, body: sink.blob(), seconds, bytes: m.file.size });
    }
  } catch (e) {
    postMessage({ type: e instanceof ZqvCore.Refusal ? 'refused' : 'failed', text: e.message || String(e) });
  }
};
