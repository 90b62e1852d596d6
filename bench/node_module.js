// SPDX-License-Identifier: GPL-2.0-or-later
// What a page pays per demo with unlzon.js, timed under node's V8: a fresh
// instance of the module (as the page makes one per file), the demo written
// into its in-memory file system, the run, and the image read back. The
// same file the page carries is loaded, as a worker would load it. Then the
// same with the compiled module reused through instantiateWasm.
//
//   node bench/node_module.js build-web/unlzon.js DEMO [ROUNDS]
//
// Prints the median and range of each step in milliseconds.
//
// 2026-12-09, the 2-core VM shared with other builds (load average 5-6),
// node 20.20, emscripten 3.1.6, the commit that added this file; a 4 MiB image from
// `demo_tool image 4M 3`, packed with LZO1X-1 (2.2 MiB), 31 rounds:
//
//   step            fresh compile          compiled once
//   instantiate     19.2 (9.2-222)         8.0 (0.8-51)
//   write demo       0.1                    0.1
//   run (callMain)  50.2 (25.4-150)        55.5 (24.2-87)
//   read image       4.7 (0.5-47)           0.6 (0.4-41)
//   total           90.6 (53.0-409)        75.0 (35.6-170)
//
// The run is mostly the decoder's one call, which a fresh module runs in
// V8's baseline code: liblzo2's decoder alone, warm, best of 15, takes 5.5
// ms in wasm against 3.0 ms native. unlzon.js is 117,720 bytes (41,657
// gzipped), its wasm 34,774.
'use strict';
const fs = require('fs');

const [modulePath, demoPath, roundsText] = process.argv.slice(2);
if (!modulePath || !demoPath) {
  console.error('usage: node bench/node_module.js UNLZON_JS DEMO [ROUNDS]');
  process.exit(2);
}
const rounds = Number(roundsText || 21);

// unlzon.js is built for pages and workers: node is given what a worker has.
globalThis.self = globalThis;
globalThis.importScripts = () => {};
globalThis.location = { href: 'file:///unlzon.js' };
const source = fs.readFileSync(modulePath, 'utf8');
const createUnlzon = new Function(source + '\nreturn createUnlzon;')();
const wasm = Buffer.from(/data:application\/octet-stream;base64,([^"]+)"/.exec(source)[1], 'base64');
const demo = fs.readFileSync(demoPath);

function summary(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const at = (q) => sorted[Math.floor(q * (sorted.length - 1))].toFixed(2);
  return `${at(0.5)} (${at(0)}-${at(1)})`;
}

async function measure(options) {
  const steps = { instantiate: [], write: [], run: [], read: [], total: [] };
  for (let round = 0; round < rounds; ++round) {
    const t0 = performance.now();
    const m = await createUnlzon({ print() {}, printErr() {}, ...options });
    const t1 = performance.now();
    m.FS.writeFile('/work/demo.bin', demo);
    const t2 = performance.now();
    const status = m.callMain(['/work/demo.bin']);
    const t3 = performance.now();
    const image = m.FS.readFile('/work/demo.bin.nds');
    const t4 = performance.now();
    if (status !== 0 || image.length === 0) {
      throw new Error(`status ${status}`);
    }
    steps.instantiate.push(t1 - t0);
    steps.write.push(t2 - t1);
    steps.run.push(t3 - t2);
    steps.read.push(t4 - t3);
    steps.total.push(t4 - t0);
  }
  for (const [step, values] of Object.entries(steps)) {
    console.log(`  ${step.padEnd(12)} ${summary(values)} ms`);
  }
}

(async () => {
  console.log(`unlzon.js ${fs.statSync(modulePath).size} bytes (wasm ${wasm.length}), ` +
              `demo ${demo.length} bytes, ${rounds} rounds`);
  console.log('fresh instance, module compiled each time:');
  await measure({});
  const compileStart = performance.now();
  const compiled = await WebAssembly.compile(wasm);
  console.log(`compiled once in ${(performance.now() - compileStart).toFixed(2)} ms; ` +
              'fresh instance of that module:');
  await measure({
    instantiateWasm(imports, done) {
      WebAssembly.instantiate(compiled, imports).then((instance) => done(instance, compiled));
      return {};
    },
  });
})();
