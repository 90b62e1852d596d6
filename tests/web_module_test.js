// SPDX-License-Identifier: GPL-2.0-or-later
// unlzon.js as a page's worker uses it, under node: one fresh instance per
// demo, the demo put in /work, callMain's status also handed to onExit, the
// lines told apart by stream, the image taken as a Blob with its bytes seen
// by onWrite; the failures that only a browser has end in the program's own
// line and status; and one instance runs again and again, as the page's
// worker keeps it.
// Usage: node web_module_test.js UNLZON_JS DEMO_TOOL
'use strict';
const assert = require('assert');
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const [modulePath, demoTool] = process.argv.slice(2);
// unlzon.js is built for pages and workers: node is given what a worker has.
globalThis.self = globalThis;
globalThis.importScripts = () => {};
globalThis.location = { href: 'file:///unlzon.js' };
// A browser short of memory refuses a file's typed array or Blob: any of
// more than `refuseAbove` bytes while it is set.
let refuseAbove = Infinity;
class Refusing extends Uint8Array {
  constructor(...args) {
    if (typeof args[0] === 'number' && args[0] > refuseAbove) {
      throw new RangeError('Array buffer allocation failed');
    }
    super(...args);
  }
}
const slice = Int8Array.prototype.slice;
Int8Array.prototype.slice = function (begin, end) {
  if (end - begin > refuseAbove) {
    throw new RangeError('Array buffer allocation failed');
  }
  return slice.call(this, begin, end);
};
class RefusingBlob extends Blob {
  constructor(parts, options) {
    if (parts.reduce((sum, part) => sum + (part.size ?? part.length), 0) > refuseAbove) {
      throw new RangeError('Array buffer allocation failed');
    }
    super(parts, options);
  }
}
const source = fs.readFileSync(modulePath, 'utf8');
const createUnlzon = new Function('Uint8Array', 'Blob', source + '\nreturn createUnlzon;')(Refusing, RefusingBlob);

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'unlzon-'));
execFileSync(demoTool, ['image', '50000', '11', path.join(work, 'image')]);
execFileSync(demoTool, ['pack', path.join(work, 'image'), path.join(work, 'demo')]);
const image = fs.readFileSync(path.join(work, 'image'));
const good = fs.readFileSync(path.join(work, 'demo'));
fs.rmSync(work, { recursive: true });
const header = (outSize) => Buffer.from([0x4c, 0x5a, 0x4f, 0x6e, 0, 0x2f, 0xf1, 0x71,
  outSize >>> 24, outSize >>> 16 & 255, outSize >>> 8 & 255, outSize & 255, 0, 0, 0, 3]);
const endMarker = Buffer.from([0x11, 0, 0]);
const cases = [
  { name: 'a demo', demo: good, status: 0, err: [], image },
  { name: 'not a demo', demo: Buffer.from('not a demo'), status: -1,
    err: ['  ERROR: Not a valid compressed demo (/work/d.bin)!'] },
  { name: 'more than wasm32 memory holds', demo: Buffer.concat([header(0xffffffff), endMarker]),
    status: -1, err: ['  ERROR: Could not allocate 4294967295 bytes for the image buffer!'] },
  { name: 'an image the browser refuses', demo: good, refuseAbove: good.length, status: -1,
    err: ['  ERROR: Could not write output file (/work/d.bin.nds)!'] },
  { name: 'a zero tail', demo: Buffer.concat([header(6 << 20), endMarker]), status: 0, err: [],
    image: Buffer.alloc(6 << 20) },
  { name: 'a file the browser will not read', demo: good, unreadable: true, status: -1,
    err: ['  ERROR: Could not read input file (/work/d.bin)!'] },
];

(async () => {
  for (const c of cases) {
    const out = [];
    const err = [];
    let exited = null;
    const written = [];
    const m = await createUnlzon({
      print: (line) => out.push(line), printErr: (line) => err.push(line),
      onExit: (status) => { exited = status; },
      onWrite: (bytes) => written.push(bytes instanceof Uint8Array ? Buffer.from(bytes) : 'a signed view'),
    });
    if (c.unreadable) {
      m.unreadableFile('/work/d.bin', c.demo.length);
    } else {
      m.FS.writeFile('/work/d.bin', c.demo);
    }
    refuseAbove = c.refuseAbove || Infinity;
    const status = m.callMain(['/work/d.bin']);
    refuseAbove = Infinity;
    assert.strictEqual(status, c.status, c.name);
    assert.strictEqual(exited, c.status, c.name);
    assert.deepStrictEqual(err, c.err, c.name);
    if (c.image) {
      assert.strictEqual(out[out.length - 1], 'Decompressed data written to /work/d.bin.nds');
    }
    const left = m.FS.readdir('/work').filter((name) => name !== '.' && name !== '..');
    assert.deepStrictEqual(left, c.image ? ['d.bin', 'd.bin.nds'] : ['d.bin'], c.name);
    if (c.image) {
      const blob = m.fileBlob('/work/d.bin.nds');
      assert.ok(Buffer.from(await blob.arrayBuffer()).equals(c.image), c.name);
      assert.ok(written.every(Buffer.isBuffer), c.name);
      assert.ok(Buffer.concat(written).equals(c.image), c.name);
    }
  }
  // One instance, as the page's worker keeps it (noExitRuntime), runs file
  // after file: each run's lines and status as a fresh instance's.
  const lines = [];
  const m = await createUnlzon({ noExitRuntime: true, print: (line) => lines.push(line),
    printErr: (line) => lines.push('err: ' + line) });
  m.FS.chdir('/work');
  const runs = [['d.bin', good, 0, 'Decompressed data written to d.bin.nds'],
    ['bad.bin', Buffer.from('not a demo'), -1, 'err:   ERROR: Not a valid compressed demo (bad.bin)!'],
    ['sub/e.bin', good, 0, 'Decompressed data written to sub/e.bin.nds']];
  for (const [name, demo, status, last] of runs) {
    lines.length = 0;
    if (name.includes('/')) {
      m.FS.mkdir('sub');
    }
    m.FS.writeFile(name, demo);
    assert.strictEqual(m.callMain([name]), status, `again: ${name}`);
    assert.strictEqual(lines[0].startsWith('unlzon '), true, `again: ${name}: the banner`);
    assert.strictEqual(lines[lines.length - 1], last, `again: ${name}`);
  }
  assert.ok(Buffer.from(await m.fileBlob('sub/e.bin.nds').arrayBuffer()).equals(image), 'again: the image');
  console.log(`${cases.length + 1} passed, 0 failed`);
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
