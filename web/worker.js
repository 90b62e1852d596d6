// SPDX-License-Identifier: GPL-2.0-or-later
// The program's worker: runs unlzon on one demo at a time, as a shell runs
// `unlzon demos/sub/x.bin` from the folder that holds demos, and answers
// with its lines and status, its image's checksums and identity (taken from
// the bytes as the program writes them), and its image to the zip worker.
// One instance of the program serves file after file; the page replaces the
// whole worker after a large demo, so that the memory it grew to goes back.
// The program's module (createUnlzon) is put before this script by
// web/build.mjs, and so are hash-wasm, web/checksums.cjs and
// web/identity.cjs.
'use strict';

// The call stack leaks a few bytes of arguments per callMain: a fresh
// instance after this many runs keeps that far from the stack's end.
const RUNS_PER_INSTANCE = 1000;

// Runs are handled one after the other, never interleaved. Each image goes
// to the zip worker, which keeps the batch's images, through the port the
// page gives (the page holds none of them, so that Clear lets go of them at
// once, not when its garbage is collected).
let work = Promise.resolve();
let keeper = null;
self.onmessage = (event) => {
  const message = event.data;
  if (message.type === 'port') {
    keeper = message.port;
  } else {
    work = work.then(() => run(message));
  }
};

// An instance of the program whose lines go to `state.lines`. noExitRuntime
// keeps the runtime alive when main returns, so callMain can run again.
async function instance() {
  const state = { lines: [], runs: 0 };
  state.program = await createUnlzon({
    noExitRuntime: true,
    print: (text) => state.lines.push(['out', text]),
    printErr: (text) => state.lines.push(['err', text]),
    onWrite: (chunk) => state.seen?.(chunk),
  });
  state.program.FS.chdir('/work');
  return state;
}
// Made ahead, while the page reads its first files.
let current = instance();

// What sees one image as it is written: its hashers and its identity
// reader. Made a run ahead, so that no run waits on hash-wasm.
// Hashers that could not be made leave the image without checksums, never
// the run without its image.
function watcher() {
  return unlzonChecksums.createChecksums().catch(() => null).then((checksums) => {
    const identity = unlzonIdentity.createIdentityReader();
    const seen = { written: 0, cut: false, checksums, identity };
    seen.write = (chunk) => {
      if (chunk === null) {
        seen.cut = true;
        return;
      }
      checksums?.update(chunk);
      identity.push(chunk);
      seen.written += chunk.length;
    };
    return seen;
  });
}
let nextWatcher = watcher();

// Makes every folder of `path` below the working folder.
function makeFolders(fs, path) {
  const parts = path.split('/').slice(0, -1);
  for (let i = 1; i <= parts.length; i += 1) {
    const folder = parts.slice(0, i).join('/');
    if (!fs.analyzePath(folder).exists) {
      fs.mkdir(folder);
    }
  }
}

// Removes `path` and everything below it.
function remove(fs, path) {
  const found = fs.analyzePath(path);
  if (!found.exists) {
    return;
  }
  if (fs.isDir(fs.lstat(path).mode)) {
    for (const name of fs.readdir(path)) {
      if (name !== '.' && name !== '..') {
        remove(fs, `${path}/${name}`);
      }
    }
    fs.rmdir(path);
  } else {
    fs.unlink(path);
  }
}

// One demo: {id, path, file, unreadable, large}, where path is relative
// ('demos/x.bin'), unreadable says the page could not read its first bytes
// and large that it declares a large image. A file the
// browser will not read is given to the program as a file whose reads fail,
// so that it says what it says of a disk that fails.
async function run({ id, path, file, unreadable, large }) {
  let bytes = null;
  if (!unreadable && file) {
    try {
      // In one step, with no task between: a worker may wait on its file.
      bytes = new Uint8Array(new FileReaderSync().readAsArrayBuffer(file));
    } catch {
      bytes = null;
    }
  }
  let state = null;
  let lines = [];
  let status = null;
  let image = null;
  let note = null;
  let seen = null;
  try {
    seen = await nextWatcher;
    nextWatcher = watcher();
    state = await current;
    const { program } = state;
    const fs = program.FS;
    state.lines = lines;
    state.seen = seen.write;
    makeFolders(fs, path);
    if (bytes) {
      fs.writeFile(path, bytes, { canOwn: true });
    } else {
      program.unreadableFile(path, file ? file.size : 0);
    }
    bytes = null;
    status = program.callMain([path]);
    state.seen = null;
    image = program.fileBlob(path + '.nds');
    for (const name of fs.readdir('.')) {
      if (name !== '.' && name !== '..') {
        remove(fs, name);
      }
    }
    state.runs += 1;
    if (image && large) {
      // Reading its last byte waits until the browser holds every piece,
      // and fails where it could not keep them: a large image may be
      // refused after its pieces were made; a small one would have failed
      // as they were.
      try {
        await image.slice(-1).arrayBuffer();
      } catch {
        image = null;
        note = 'lost';
      }
    }
  } catch (error) {
    lines.push(['err', 'The program stopped: ' + (error && error.message ? error.message : String(error))]);
    status = 134;
    image = null;
    state = null;
  }
  // Checksums only of an image seen whole and once, as it stands.
  let checksums = null;
  let identity = null;
  if (image && seen && !seen.cut && seen.written === image.size) {
    checksums = seen.checksums?.digest() ?? null;
    identity = seen.identity.read(self.navigator.languages);
  }
  if (state === null || state.runs >= RUNS_PER_INSTANCE) {
    current = instance();
  }
  if (image) {
    keeper.postMessage({ id, blob: image });
  }
  // The program returns -1 for its failures; a shell sees 255.
  // The program's memory, which only grows, for the page to judge whether to
  // start this worker anew.
  const memory = state ? state.program.HEAP8.length : 0;
  self.postMessage({ id, lines, status: status & 255, size: image ? image.size : null, note, memory,
                     checksums, identity });
}
