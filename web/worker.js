// SPDX-License-Identifier: GPL-2.0-or-later
// The worker: runs the program on one file at a time, in a fresh instance
// each (so that a failed or huge run leaves nothing behind and its memory
// goes back), and zips the batch's images. fflate and the program's module
// (createUnlzon) are put before this script by web/build.mjs.
'use strict';

// Messages are handled one after the other, never interleaved.
let work = Promise.resolve();
self.onmessage = (event) => {
  const message = event.data;
  work = work.then(() => (message.type === 'run' ? run(message.file) : zip(message.images)));
};

// The program's WebAssembly is compiled once, by the first instance, and
// reused by the next ones (each still gets a memory and runtime of its own):
// emscripten compiles through WebAssembly.instantiate, which gives the module.
let compiled = null;
const instantiate = WebAssembly.instantiate;
WebAssembly.instantiate = async (source, imports) => {
  const result = await instantiate(source, imports);
  compiled ??= result.module ?? null;
  return result;
};

// A fresh instance of the program, whose lines and status go to `run`.
async function instance() {
  const run = { lines: [], status: null, sum: crc32() };
  let failed;
  const failure = new Promise((resolve, reject) => { failed = reject; });
  const program = await Promise.race([failure, createUnlzon({
    print: (text) => run.lines.push(['out', text]),
    printErr: (text) => run.lines.push(['err', text]),
    onExit: (code) => { run.status = code; },
    // The image's CRC-32 for the zip, taken as the program writes it.
    onWrite: (bytes) => run.sum.push(bytes),
    instantiateWasm: compiled && ((imports, done) => {
      instantiate(compiled, imports).then((made) => done(made, compiled), failed);
      return {};
    }),
  })]);
  return { program, run };
}
// The next file's instance is made ahead, while the page is idle or the
// file is read.
let next = instance();

// The program as a shell runs it: `unlzon NAME` in a folder that holds the
// file under its own name, so that its lines name the file as the user does.
async function run(file) {
  let bytes = null;
  const read = file.arrayBuffer().then((buffer) => { bytes = new Uint8Array(buffer); }, () => {
    // A dropped folder, or a file gone since: the program is handed a folder
    // of that name instead, and says what it says of one.
  });
  let lines = [];
  let status = null;
  let image = null;
  let crc = null;
  try {
    const [made] = await Promise.all([next, read]);
    ({ lines } = made.run);
    const fs = made.program.FS;
    fs.chdir('/work');
    if (bytes) {
      fs.writeFile(file.name, bytes, { canOwn: true });
    } else {
      fs.mkdir(file.name);
    }
    bytes = null;
    const returned = made.program.callMain([file.name]);
    status = made.run.status ?? returned;
    image = made.program.fileBlob(file.name + '.nds');
    if (image) {
      crc = made.run.sum.value();
      // Reading its last byte waits until the browser holds every piece,
      // and fails where it could not keep them.
      await image.slice(-1).arrayBuffer();
    }
  } catch (error) {
    lines.push(['err', 'The program stopped: ' + (error && error.message ? error.message : String(error))]);
    status = 134;
    image = null;
  }
  // The program returns -1 for its failures; a shell sees 255.
  self.postMessage({ type: 'done', lines, status: status & 255, image, crc });
  next = instance();
}

// fflate's CRC-32, of bytes pushed in order.
function crc32() {
  const sum = new fflate.ZipPassThrough('');
  sum.ondata = () => {};
  return {
    push: (bytes) => sum.push(bytes),
    value: () => {
      sum.push(new Uint8Array(0), true);
      return sum.crc;
    },
  };
}

// One zip of every image, stored as it is (the demos were the compressed
// form), made of the images' own Blobs and fflate's headers: each image
// goes in as an entry of its known size and CRC-32 whose one chunk stands
// for the Blob (fflate counts a chunk's length only), so that no image is
// read or copied again.
function zip(images) {
  try {
    const parts = [];
    const blobs = new Map();  // a chunk fflate was given -> the Blob it stands for
    let failure = null;
    const archive = new fflate.Zip((error, chunk) => {
      if (error) {
        failure = error;
        return;
      }
      parts.push(blobs.get(chunk) ?? chunk);
      blobs.delete(chunk);
    });
    const taken = new Set();
    for (const { name, blob, crc } of images) {
      let unique = name;
      for (let n = 2; taken.has(unique); n += 1) {
        unique = `${n}-${name}`;
      }
      taken.add(unique);
      const entry = { filename: unique, size: blob.size, crc, compression: 0 };
      archive.add(entry);
      const chunk = { length: blob.size };
      blobs.set(chunk, blob);
      entry.ondata(null, chunk, true);
    }
    archive.end();
    if (failure) {
      throw failure;
    }
    self.postMessage({ type: 'zipped', blob: new Blob(parts, { type: 'application/zip' }) });
  } catch (error) {
    self.postMessage({ type: 'zipped', error: String(error && error.message ? error.message : error) });
  }
}
