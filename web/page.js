// SPDX-License-Identifier: GPL-2.0-or-later
// The page: gathers the demos the user drops or chooses (files, folders and
// zips), runs each in a program worker, two per processor at a time (a demo
// that declares a large image alone), and shows what the program printed
// for it with plain words beside; the images are kept in the zip worker.
// WORKER_SOURCE and ZIP_WORKER_SOURCE are put before this script by
// web/build.mjs.
'use strict';

const $ = (id) => document.getElementById(id);
const MiB = 1 << 20;
// A demo that declares an image of this size or more, or is itself that
// large, runs alone, in a worker that is replaced after it.
const LARGE = 32 * MiB;
// A worker whose program grew to more memory than this is started anew when
// a batch is done.
const KEPT_MEMORY = 64 * MiB;
const MAGIC = [0x4c, 0x5a, 0x4f, 0x6e, 0x00, 0x2f, 0xf1, 0x71];

const queue = [];  // demos waiting for a worker
let results = [];  // every demo of the list: {id, path, item, status, size, kept, url, sha1, crc32}
const byId = new Map();  // a demo's id -> its result, while it is in the list
let lastId = 0;
let batch = { files: 0, unpacked: 0, failed: 0, gathering: 0 };
let banner = null;  // the banner and library lines, as the first run printed them
let zipping = false;  // Save all's zip is being made of the list
let zipUrl = null;  // the last zip's URL

// Workers from blobs: a page opened from file:// may not start one from a
// script's URL. Each script's blob is made once and kept, so that a worker
// started again needs no new Blob, which a browser still busy letting go of
// the last batch's images may refuse.
const scriptUrls = new Map();
function makeWorker(source, onmessage) {
  if (!scriptUrls.has(source)) {
    scriptUrls.set(source, URL.createObjectURL(new Blob([source], { type: 'text/javascript' })));
  }
  const worker = new Worker(scriptUrls.get(source));
  worker.onmessage = (event) => onmessage(event.data);
  return worker;
}

// The zip worker keeps the batch's images (the page holds none until one is
// saved) and answers the page's requests one at a time, in order.
let keeper = null;
let keeperWaiting = [];
let zipProgress = null;
function startKeeper() {
  keeper = makeWorker(ZIP_WORKER_SOURCE, (data) => {
    if (data.type === 'kept') {
      kept(data);
    } else if (data.type === 'zipping') {
      zipProgress?.(data);
    } else {
      keeperWaiting.shift()(data);
    }
  });
  for (const slot of slots) {
    connect(slot);
  }
}
const askKeeper = (message) => new Promise((resolve) => {
  keeperWaiting.push(resolve);
  keeper.postMessage(message);
});
// A program worker's way to the zip worker.
function connect(slot) {
  if (keeper && slot.worker) {
    const channel = new MessageChannel();
    keeper.postMessage({ type: 'port', port: channel.port2 }, [channel.port2]);
    slot.worker.postMessage({ type: 'port', port: channel.port1 }, [channel.port1]);
  }
}

// Two workers per processor, four at most: each waits on the browser while
// its demo is read and its image handed over, and the other decodes.
const slots = Array.from({ length: Math.min(2 * Math.max(navigator.hardwareConcurrency || 1, 1), 4) },
  () => ({ worker: null, current: null, memory: 0 }));
slots.forEach(startWorker);
startKeeper();
const busy = () => slots.filter((slot) => slot.current !== null);

function startWorker(slot) {
  const worker = makeWorker(WORKER_SOURCE, (data) => finish(slot, data));
  // A worker that died (a fault of the program or the browser's own limit)
  // is replaced, and the batch goes on with the next demo.
  worker.onerror = (event) => {
    event.preventDefault();
    replaceWorker(slot);
    if (slot.current) {
      finish(slot, { lines: [['err', 'The browser stopped the program: ' + (event.message || 'no reason given')]],
                     status: 134, size: null });
    }
  };
  slot.worker = worker;
  slot.memory = 0;
  connect(slot);
}
function replaceWorker(slot) {
  slot.worker.terminate();
  startWorker(slot);
}

function formatBytes(n) {
  const units = ['bytes', 'KiB', 'MiB', 'GiB'];
  let unit = 0;
  while (n >= 1024 && unit < units.length - 1) {
    n /= 1024;
    unit += 1;
  }
  return (unit === 0 ? n : n.toFixed(1)) + ' ' + units[unit];
}

function showProgress() {
  const { files, unpacked, failed } = batch;
  const done = unpacked + failed;
  $('progress').max = Math.max(files, 1);
  $('progress').value = done;
  let text = files === 0 ? 'No files yet.' : `${unpacked} unpacked, ${failed} failed`;
  if (files > done) {
    text += `, ${files - done} to go`;
  } else if (files > 0) {
    text = 'Done: ' + text + '.';
  }
  if (batch.gathering > 0) {
    text += ' Looking through folders and zips...';
  }
  $('progress-text').textContent = text;
  const idle = busy().length === 0 && queue.length === 0 && batch.gathering === 0 && !zipping
    && !results.some((r) => r.size !== null && !r.kept);
  $('save-all').disabled = !idle || !results.some((r) => r.kept);
  $('clear').disabled = !idle || files === 0;
}

// ---- Gathering the demos ----

// A path's folders and name, without empty parts, "." or "..": the tree the
// program runs in holds nothing outside its working folder. In a zip's
// names "\" is a separator too, as zips made on Windows use it.
function cleanPath(path, inZip = false) {
  return path.split(inZip ? /[\\/]+/ : /\/+/).filter((part) => part !== '' && part !== '.' && part !== '..').join('/');
}
const isDemoName = (name) => /\.bin$/i.test(name);
const isZipName = (name) => /\.zip$/i.test(name);
const byPath = (a, b) => (a.path < b.path ? -1 : a.path > b.path ? 1 : 0);

// The demos of a zip at `path` (the zip file itself, a File or Blob), placed
// as the zip would unpack beside it: as they are when every entry stands in
// one top folder, else in a folder named after the zip. A file that is no
// zip is given to the program like any other.
async function fromZip(path, file) {
  const answer = await askKeeper({ type: 'open', file });
  if (answer.error) {
    return [{ path, file }];
  }
  const folder = path.includes('/') ? path.slice(0, path.lastIndexOf('/') + 1) : '';
  const entries = answer.names.map((name) => ({ parts: cleanPath(name, true).split('/'), folder: /[\\/]$/.test(name) }))
    .filter((entry) => entry.parts[0] !== '');
  const oneTop = new Set(entries.map((entry) => entry.parts[0])).size === 1
    && entries.every((entry) => entry.folder || entry.parts.length > 1);
  const within = oneTop ? folder : folder + (path.slice(folder.length).replace(/\.zip$/i, '') || 'zip') + '/';
  return answer.demos.filter(({ name }) => cleanPath(name, true) !== '').map(({ name, blob }) => ({
    path: within + cleanPath(name, true), file: blob, unreadable: blob === null,
  })).sort(byPath);
}

// Every *.bin and *.zip below a dropped folder, by path: `folder` is its
// FileSystemDirectoryEntry or its FileSystemDirectoryHandle. A folder that
// cannot be listed adds nothing, but the dropped one itself throws.
async function walk(folder) {
  const found = [];  // [path, a promise of the File, null where it cannot be had]
  const folders = [[folder, folder.name, 0]];
  while (folders.length > 0) {
    const [current, path, depth] = folders.shift();
    const children = [];
    try {
      if (current.kind) {
        for await (const child of current.values()) {
          children.push(child);
        }
      } else {
        const reader = current.createReader();
        for (let more = true; more;) {
          const some = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
          children.push(...some);
          more = some.length > 0;
        }
      }
    } catch (error) {
      if (current === folder) {
        throw error;
      }
    }
    for (const child of children) {
      const childPath = `${path}/${child.name}`;
      if (child.kind === 'directory' || child.isDirectory) {
        // Deep enough for any real tree, and an end to a loop of links.
        if (depth < 64) {
          folders.push([child, childPath, depth + 1]);
        }
      } else if (isDemoName(child.name) || isZipName(child.name)) {
        found.push([childPath, (child.kind ? child.getFile()
          : new Promise((resolve, reject) => child.file(resolve, reject))).catch(() => null)]);
      }
    }
  }
  const demos = await Promise.all(found.map(async ([path, file]) => {
    const got = await file;
    return { path: cleanPath(path), file: got, unreadable: got === null };
  }));
  return demos.sort(byPath);
}

// The demos of files given one by one (each taken, whatever its name) or
// found in folders (only *.bin), with every zip among them opened.
async function expand(demos) {
  const out = [];
  for (const demo of demos) {
    if (demo.file && isZipName(demo.path)) {
      out.push(...await fromZip(demo.path, demo.file));
    } else {
      out.push(demo);
    }
  }
  return out;
}

// Gathers from `sources` (a promise of demos), then adds them to the list.
async function gather(sources) {
  batch.gathering += 1;
  showProgress();
  try {
    await add(await expand(await sources));
  } finally {
    batch.gathering -= 1;
    showProgress();
  }
}

function fromDrop(dataTransfer) {
  // What the drop holds must be asked for while its event lasts.
  const items = [...dataTransfer.items].filter((item) => item.kind === 'file');
  const handles = items.map((item) => (item.getAsFileSystemHandle
    ? item.getAsFileSystemHandle().catch(() => null) : Promise.resolve(null)));
  const entries = items.map((item) => (item.webkitGetAsEntry ? item.webkitGetAsEntry() : null));
  const files = items.map((item) => item.getAsFile());
  return (async () => {
    const demos = [];
    for (const [i, entry] of entries.entries()) {
      // The entry lists every name, but not on a page opened from disk
      // (file://), where only the handle can list the folder: Chromium's
      // handle leaves out names that Windows refuses.
      let folder = null;
      if (entry && entry.isDirectory) {
        folder = await walk(entry).catch(() => null);
      }
      if (folder === null) {
        const handle = await handles[i];
        if (handle && handle.kind === 'directory') {
          folder = await walk(handle).catch(() => []);
        }
      }
      if (folder !== null) {
        demos.push(...folder);
      } else if (files[i]) {
        demos.push({ path: cleanPath(files[i].name) || 'unnamed', file: files[i] });
      }
    }
    return demos;
  })();
}

// The files of the folder chooser, with their paths below the chosen folder.
function fromFolderChooser(files) {
  return Promise.resolve(files.filter((file) => isDemoName(file.name) || isZipName(file.name))
    .map((file) => ({ path: cleanPath(file.webkitRelativePath || file.name), file })).sort(byPath));
}

// ---- Running them ----

// The image size a demo's header declares, or 0 where it has no header;
// null where the browser would not read its first bytes.
async function declaredSize(file) {
  try {
    const head = new Uint8Array(await file.slice(0, 16).arrayBuffer());
    if (head.length < 16 || MAGIC.some((byte, i) => head[i] !== byte)) {
      return 0;
    }
    return new DataView(head.buffer).getUint32(8);
  } catch {
    return null;
  }
}

async function add(demos) {
  const sized = await Promise.all(demos.map(async (demo) => {
    const declared = demo.file && !demo.unreadable ? await declaredSize(demo.file) : null;
    return { ...demo, unreadable: declared === null,
             large: Math.max(declared ?? 0, demo.file ? demo.file.size : 0) >= LARGE };
  }));
  for (const demo of sized) {
    const item = document.createElement('li');
    item.className = 'file waiting';
    item.dataset.name = demo.path;
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = demo.path;
    const state = document.createElement('span');
    state.className = 'state';
    state.textContent = 'waiting';
    item.append(name, ' ', state);
    $('files').append(item);
    lastId += 1;
    const result = { id: lastId, path: demo.path, item, status: null, size: null, kept: false, url: null, sha1: null, crc32: null };
    results.push(result);
    byId.set(result.id, result);
    queue.push({ ...demo, result });
    batch.files += 1;
  }
  next();
}

function next() {
  for (const slot of slots) {
    const running = busy();
    if (queue.length === 0 || (running.length > 0 && (queue[0].large || running.some((s) => s.current.large)))) {
      break;
    }
    if (slot.current === null) {
      slot.current = queue.shift();
      slot.current.result.item.querySelector('.state').textContent = 'unpacking';
      const { path, file, unreadable, large, result } = slot.current;
      slot.worker.postMessage({ id: result.id, path, file, unreadable, large });
    }
  }
  // A finished batch lets go of the memory its workers grew to, where that
  // is more than small demos need: a worker kept is warm, its WebAssembly
  // already optimised by the runs before.
  if (queue.length === 0 && busy().length === 0) {
    for (const slot of slots.filter((s) => s.memory > KEPT_MEMORY)) {
      slot.memory = 0;
      replaceWorker(slot);
    }
  }
  showProgress();
}

// The lines before the second empty one, when they are the banner that
// every run prints before anything of its own.
function splitBanner(lines) {
  let blanks = 0;
  const end = lines.findIndex(([stream, text]) => stream === 'out' && text === '' && ++blanks === 2);
  if (end < 0 || !lines[0][1].startsWith('unlzon ')) {
    return [null, lines];
  }
  return [lines.slice(0, end + 1), lines.slice(end + 1)];
}
const sameLines = (a, b) => a.length === b.length && a.every((line, i) => line[0] === b[i][0] && line[1] === b[i][1]);

// What went wrong and what the user can do, in plain words, from the
// program's error line and status.
function advice(lines, status, note) {
  const errors = lines.filter(([stream]) => stream === 'err').map(([, text]) => text).join('\n');
  const size = /Could not allocate (\d+) bytes/.exec(errors);
  if (note === 'lost') {
    return ['The image was made, but the browser could not keep it: it ran out of memory.',
      'Save and clear the images so far, close other tabs, and drop this demo again.'];
  }
  if (/Not a valid compressed demo/.test(errors)) {
    return ['This file is not a compressed demo: it does not begin as one does.',
      'Check that it is the demo itself and not another file whose name ends in .bin.'];
  }
  if (/Could not read input file/.test(errors)) {
    return ['The browser could not read this file: it may have been moved or changed since it was chosen, '
      + 'sit on a drive that fails, be damaged inside its zip, or be too large to load.',
    'Copy the demo onto this computer\'s own disk and drop it again.'];
  }
  if (size && /image buffer/.test(errors)) {
    return [`The demo says its image is ${formatBytes(Number(size[1]))}, more than this browser tab can hold.`,
      'Unpack it with the unlzon program on a computer; if the size looks wrong, the demo is damaged.'];
  }
  if (size) {
    return [`The demo is too large for this browser tab to load (${formatBytes(Number(size[1]))}).`,
      'Unpack it with the unlzon program on a computer.'];
  }
  if (status === 1) {
    return ['The compressed data is damaged (cut short or corrupted), so no image was made.',
      'Get the demo again from where it came from.'];
  }
  if (/Could not write output file/.test(errors)) {
    return ['The browser ran out of room for the image.',
      'Save and clear the images so far, close other tabs, and drop this demo again; '
      + 'a very large image needs the unlzon program on a computer.'];
  }
  if (/Could not open input file/.test(errors)) {
    return ['The file could not be opened.', 'Drop it again, or copy it onto this computer\'s own disk first.'];
  }
  if (status === 134) {
    return ['The program stopped before it could finish or say why.',
      'Drop this demo again on its own; if it fails again, unpack it with the unlzon program on a computer.'];
  }
  return [`The program gave up (exit status ${status}).`, 'Read its lines above for the reason.'];
}

function linesElement(lines) {
  const pre = document.createElement('pre');
  for (const [stream, text] of lines) {
    const span = document.createElement('span');
    span.className = stream;
    span.textContent = text + '\n';
    if (stream === 'err') {
      span.setAttribute('aria-label', 'error: ' + text);
    }
    pre.append(span);
  }
  return pre;
}

// The icon's RGBA pixels (32x32) as a PNG image, or null where the browser
// draws none.
function iconImage(rgba) {
  try {
    const canvas = document.createElement('canvas');
    canvas.width = 32;
    canvas.height = 32;
    canvas.getContext('2d').putImageData(new ImageData(new Uint8ClampedArray(rgba), 32, 32), 0, 0);
    const img = document.createElement('img');
    img.className = 'icon';
    img.width = 32;
    img.height = 32;
    img.alt = '';
    img.src = canvas.toDataURL('image/png');
    return img;
  } catch {
    return null;
  }
}

// A checksum's row: its name, its hex and a button that copies it.
function checksumRow(label, hex) {
  const row = document.createElement('div');
  const name = document.createElement('dt');
  name.textContent = label;
  const value = document.createElement('dd');
  const code = document.createElement('code');
  code.textContent = hex;
  const copy = document.createElement('button');
  copy.type = 'button';
  copy.className = 'copy';
  copy.textContent = 'Copy';
  copy.setAttribute('aria-label', `Copy the ${label}`);
  copy.dataset.copy = hex;
  value.append(code, ' ', copy);
  row.append(name, value);
  return row;
}

// A click on a Copy button: the checksum goes to the clipboard or, where the
// browser will not have it written, is selected for the user to copy.
async function copyChecksum(event) {
  const button = event.target.closest('button.copy');
  if (!button) {
    return;
  }
  try {
    await navigator.clipboard.writeText(button.dataset.copy);
    button.textContent = 'Copied';
  } catch {
    getSelection().selectAllChildren(button.previousElementSibling);
    button.textContent = 'Selected';
  }
  setTimeout(() => {
    button.textContent = 'Copy';
  }, 2000);
}

// What an image's header and banner say, and its checksums, as a list of
// terms; the attributes on `item`. `identity` and `checksums` may be null
// (the image was not seen whole as it was written).
function identityList(item, identity, checksums) {
  const list = document.createElement('dl');
  list.className = 'identity';
  const term = (label, text) => {
    const row = document.createElement('div');
    const name = document.createElement('dt');
    name.textContent = label;
    const value = document.createElement('dd');
    value.textContent = text;
    row.append(name, value);
    list.append(row);
  };
  const holds = (ok) => (ok ? 'holds' : 'does not hold');
  if (identity) {
    item.dataset.code = identity.code;
    item.dataset.title = identity.displayTitle;
    const { banner } = identity;
    if (banner?.chosenTitle) {
      term('Title', banner.chosenTitle.filter((line) => line !== '').join(' \u2014 ')
        + (banner.chosenLanguage === 'en' ? '' : ` (${banner.chosenLanguage})`));
    }
    term('Header title', identity.title || '(none)');
    term('Game code', identity.code || '(none)');
    term('Maker code', identity.maker || '(none)');
    term('Header checksum', identity.headerChecksumOk === null ? 'no whole header' : holds(identity.headerChecksumOk));
    term('Banner', banner ? `version ${banner.version}, checksum ${holds(banner.checksumOk)}` : 'no banner');
  }
  if (checksums) {
    item.dataset.crc32 = checksums.crc32;
    item.dataset.md5 = checksums.md5;
    item.dataset.sha1 = checksums.sha1;
    list.append(checksumRow('CRC-32', checksums.crc32), checksumRow('MD5', checksums.md5),
      checksumRow('SHA-1', checksums.sha1));
  } else {
    term('Checksums', 'not taken: the image was not seen whole as it was written');
  }
  return list;
}

function finish(slot, { lines, status, size, note, memory, checksums, identity }) {
  slot.memory = memory ?? 0;
  const demo = slot.current;
  const { result } = demo;
  const { item } = result;
  slot.current = null;
  // The memory of a large run goes back with its worker.
  if (demo.large) {
    replaceWorker(slot);
  }
  if (!byId.has(result.id)) {
    next();
    return;
  }
  let [head, rest] = splitBanner(lines);
  if (head !== null && banner === null) {
    banner = head;
    $('banner').textContent = head.map((line) => line[1]).join('\n');
    $('banner-box').hidden = false;
  }
  if (head !== null && !sameLines(head, banner)) {
    rest = lines;
  }
  const name = document.createElement(size !== null ? 'span' : 'h2');
  name.className = 'name';
  name.textContent = result.path;
  item.dataset.status = status;
  item.replaceChildren();
  result.status = status;
  if (size !== null) {
    result.size = size;
    item.className = 'file unpacked';
    const details = document.createElement('details');
    const summary = document.createElement('summary');
    const sizeText = document.createElement('span');
    sizeText.className = 'size';
    sizeText.textContent = formatBytes(size);
    // An image with no icon keeps the icon's room, so that the names line up.
    let icon = identity?.banner ? iconImage(identity.banner.iconRgba) : null;
    if (!icon) {
      icon = document.createElement('span');
      icon.className = 'icon';
    }
    const title = document.createElement('span');
    title.className = 'title';
    title.textContent = identity?.displayTitle ?? '';
    summary.append(icon, name, ' ', title, ' ', sizeText);
    result.sha1 = checksums?.sha1 ?? null;
    result.crc32 = checksums?.crc32 ?? null;
    details.append(summary, identityList(item, identity, checksums), linesElement(rest));
    item.append(details);
    showLink(result);
    batch.unpacked += 1;
  } else {
    item.className = 'file failed';
    const [what, todo] = advice(rest, status, note);
    const words = document.createElement('p');
    words.className = 'advice';
    const whatText = document.createElement('strong');
    whatText.textContent = 'Not unpacked. ';
    words.append(whatText, what + ' ' + todo);
    const exit = document.createElement('p');
    exit.className = 'exit';
    exit.textContent = `Exit status ${status}, as a shell shows it.`;
    item.append(name, linesElement(rest), words, exit);
    batch.failed += 1;
  }
  next();
}

// The zip worker holds an image, which may be said before or after the
// program's lines.
function kept({ id }) {
  const result = byId.get(id);
  if (result) {
    result.kept = true;
    showLink(result);
    showProgress();
  }
}

// The link that saves a result's image, once the zip worker holds it; the
// image comes to the page only when it is saved (see saveOne).
function showLink(result) {
  if (result.size === null || !result.kept || result.item.querySelector('a[download]')) {
    return;
  }
  const link = document.createElement('a');
  const fileName = result.path.split('/').pop() + '.nds';
  link.href = '#';
  link.download = fileName;
  link.dataset.id = result.id;
  link.textContent = 'Save';
  link.setAttribute('aria-label', `Save ${fileName}, ${formatBytes(result.size)}`);
  result.item.append(link);
}

// A click on an image's link: the first one fetches the image from the zip
// worker, gives the link its URL and clicks it again.
async function saveOne(event) {
  const link = event.target.closest('a[download][data-id]');
  const result = link && byId.get(Number(link.dataset.id));
  if (!result || result.url) {
    return;
  }
  event.preventDefault();
  const { blob } = await askKeeper({ type: 'image', id: result.id });
  if (byId.get(result.id) === result && blob) {
    result.url = URL.createObjectURL(blob);
    link.href = result.url;
    link.click();
  }
}

// ---- Save all ----

// Characters that Windows refuses in a name, and its device names; the
// browser puts "_" in their place for a single download, and so does this.
const FORBIDDEN = /[<>:"\\|?*\u0000-\u001f\u007f]/g;
const DEVICE = /^(con|prn|aux|nul|com[0-9]|lpt[0-9])(\.|$)/i;
function safePart(part) {
  let safe = part.replace(FORBIDDEN, '_').replace(/[. ]+$/, (tail) => '_'.repeat(tail.length));
  if (DEVICE.test(safe)) {
    safe = '_' + safe;
  }
  return safe;
}

// The names of the images in the zip: their demos' paths with ".nds", made
// safe for Windows and macOS, and unique whatever their case (a later clash
// gets " (2)", " (3)" before ".nds", never a name another entry has, nor that
// of a folder).
function zipNames(paths) {
  const wanted = paths.map((path) => path.split('/').map(safePart).join('/'));
  const key = (name) => name.normalize('NFC').toLowerCase();
  const taken = new Set();
  const folders = new Set();
  const names = new Array(wanted.length).fill(null);
  const take = (i, name) => {
    names[i] = name + '.nds';
    taken.add(key(names[i]));
    const parts = name.split('/');
    for (let n = 1; n < parts.length; n += 1) {
      folders.add(key(parts.slice(0, n).join('/')));
    }
  };
  const free = (name) => !taken.has(key(name + '.nds')) && !folders.has(key(name + '.nds'));
  wanted.forEach((name, i) => {
    if (free(name)) {
      take(i, name);
    }
  });
  wanted.forEach((name, i) => {
    if (names[i] === null) {
      let n = 2;
      while (!free(`${name} (${n})`)) {
        n += 1;
      }
      take(i, `${name} (${n})`);
    }
  });
  return names;
}

async function saveAll() {
  const saved = results.filter((r) => r.kept);
  const names = zipNames(saved.map((r) => r.path));
  zipping = true;
  showProgress();
  $('progress-text').textContent = `Making a zip of ${saved.length} images...`;
  zipProgress = ({ done, total }) => {
    $('progress-text').textContent = `Making a zip of ${total} images: ${done} in it...`;
  };
  const { blob, error } = await askKeeper({ type: 'make', entries: saved.map((r, i) => [r.id, names[i], r.crc32]),
    sums: saved.map((r, i) => ({ path: names[i], sha1: r.sha1 })).filter((entry) => entry.sha1 !== null) });
  zipProgress = null;
  zipping = false;
  const link = $('zip-link');
  showProgress();
  if (error) {
    link.removeAttribute('href');
    link.hidden = true;
    $('progress-text').textContent = 'The zip could not be made: ' + error
      + '. Save the images one by one with their links, or clear some and try again.';
    return;
  }
  if (zipUrl) {
    URL.revokeObjectURL(zipUrl);
  }
  zipUrl = URL.createObjectURL(blob);
  link.href = zipUrl;
  link.download = 'unlzon-images.zip';
  link.textContent = `Save unlzon-images.zip again (${formatBytes(blob.size)})`;
  link.hidden = false;
  link.click();
}

// Lets go of every image at once: they live in the zip worker, which is
// ended and started anew; the page revokes the URLs of those it was given.
function clear() {
  for (const result of results) {
    if (result.url) {
      URL.revokeObjectURL(result.url);
    }
  }
  if (zipUrl) {
    URL.revokeObjectURL(zipUrl);
    zipUrl = null;
  }
  keeper.terminate();
  keeperWaiting = [];
  startKeeper();
  results = [];
  byId.clear();
  const link = $('zip-link');
  link.removeAttribute('href');
  link.hidden = true;
  batch = { files: 0, unpacked: 0, failed: 0, gathering: 0 };
  $('files').replaceChildren();
  showProgress();
}

$('pick').addEventListener('change', (event) => {
  const files = Array.from(event.target.files);
  event.target.value = '';
  gather(Promise.resolve(files.map((file) => ({ path: cleanPath(file.name) || 'unnamed', file }))));
});
$('pick-folder').addEventListener('change', (event) => {
  const files = Array.from(event.target.files);
  event.target.value = '';
  gather(fromFolderChooser(files));
});
$('save-all').addEventListener('click', saveAll);
$('files').addEventListener('click', saveOne);
$('files').addEventListener('click', copyChecksum);
$('clear').addEventListener('click', clear);
$('only-failed').addEventListener('change', (event) => {
  $('files').classList.toggle('only-failed', event.target.checked);
});
// Files dropped anywhere on the page count, not only on the box.
document.addEventListener('dragover', (event) => {
  event.preventDefault();
  $('drop').classList.add('over');
});
document.addEventListener('dragleave', () => $('drop').classList.remove('over'));
document.addEventListener('drop', (event) => {
  event.preventDefault();
  $('drop').classList.remove('over');
  gather(fromDrop(event.dataTransfer));
});
