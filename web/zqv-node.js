#!/usr/bin/env node
// The page's module and logic under Node, for tests and the throughput measurement:
//   zqv-node.js open ARCHIVE PASSWORD [OUTPUT]   decrypt and verify (output written when given)
//   zqv-node.js make INPUT PASSWORD OUTPUT [--cipher N] [--seed MS] [--name NAME]
// Prints the MiB/s of the body. Exit codes as zqv: 0 success, 1 error, 3 wrong password.
'use strict';
const fs = require('fs');
const path = require('path');

const dir = process.env.ZQV_WEB_MODULE_DIR || path.join(__dirname, '..', 'build', 'web-build', 'web');
const createZqvModule = require(path.join(dir, 'zqv_web.js'));
const codepages = require(path.join(dir, 'codepages.js'));
const core = require(path.join(__dirname, 'zqv-core.js'));

function fileSource(file) {
  const fd = fs.openSync(file, 'r');
  return {
    size: fs.fstatSync(fd).size,
    read(offset, count) {
      const buffer = new Uint8Array(count);
      const n = fs.readSync(fd, buffer, 0, count, offset);
      return buffer.subarray(0, n);
    },
  };
}
function fileSink(file) {
  const fd = file ? fs.openSync(file, 'w') : null;
  return { write(bytes) { if (fd !== null) fs.writeSync(fd, bytes); } };
}

async function main(argv) {
  // The binary handed over as the worker hands it: the module never fetches it.
  const session = await core.createSession(createZqvModule, codepages,
                                           { wasmBinary: fs.readFileSync(path.join(dir, 'zqv_web.wasm')) });
  const option = (name, fallback) => {
    const i = argv.indexOf(name);
    if (i < 0) return fallback;
    const v = argv[i + 1];
    argv.splice(i, 2);
    return v;
  };
  const codepage = option('--codepage', '1252');
  const started = process.hrtime.bigint();
  let bytes = 0;
  if (argv[0] === 'open' && argv.length >= 3) {
    const source = fileSource(argv[1]);
    const r = await session.open(source, fileSink(argv[3]), argv[2], codepage);
    bytes = r.info.bodySize;
    if (r.result === 'wrong') {
      console.error(`zqv-node: ${argv[1]}: ${core.kWrongPasswordText}`);
      return 3;
    }
    console.log(`${argv[1]}: OK (${r.info.downloadName}, ${r.info.cipherName})`);
  } else if (argv[0] === 'make' && argv.length >= 4) {
    const cipher = Number(option('--cipher', '4'));
    const seed = option('--seed', null);
    const name = option('--name', path.basename(argv[1]));
    const stub = fs.readFileSync(option('--stub', path.join(__dirname, '..', 'build', 'stub', 'zqvsfx.exe')));
    const source = fileSource(argv[1]);
    const body = [];
    const header = await session.make(source, { write: (b) => body.push(b) }, {
      name, title: '', destinationMode: 0, destination: '', overwriteMode: 2, runAfter: '',
      hideOverwrite: false, autoStart: false, cipher, password: argv[2], codepage,
      seed: seed === null ? null : Number(seed),
    });
    fs.writeFileSync(argv[3], Buffer.concat([stub, header, ...body]));
    bytes = source.size;
  } else {
    console.error('usage: zqv-node.js open ARCHIVE PASSWORD [OUTPUT] | make INPUT PASSWORD OUTPUT [--cipher N] [--seed MS]');
    return 2;
  }
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  console.log(`${(bytes / 1048576).toFixed(1)} MiB in ${seconds.toFixed(2)} s: ${(bytes / 1048576 / seconds).toFixed(1)} MiB/s`);
  return 0;
}

main(process.argv.slice(2)).then((code) => process.exit(code), (e) => {
  console.error(`zqv-node: ${e.message}`);
  process.exit(1);
});
