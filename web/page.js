// SPDX-License-Identifier: GPL-2.0-or-later
// The page: hands each chosen or dropped file to a worker, as many at a
// time as the machine has processors (a large one alone), and shows what the
// program printed for it. WORKER_SOURCE is put before
// this script by web/build.mjs.
'use strict';

const $ = (id) => document.getElementById(id);

// What each exit status means, as the README's table says.
const MEANING = {
  0: 'done: the image was written',
  255: 'failed (status 255: the program returned -1), as the line above says',
  1: 'failed (status 1): the stream is damaged; the number is LZO\'s own error code',
  3: 'failed (status 3): the LZO library could not start',
};

const queue = [];  // entries waiting for a worker: {file, item}
let batch = { files: 0, done: 0, bytes: 0, doneBytes: 0 };
let banner = null;  // the banner and library lines, as the first run printed them
// A file from this size on runs alone: each run holds its demo and image
// several times over.
const LARGE = 32 << 20;
const slots = Array.from({ length: Math.min(Math.max(navigator.hardwareConcurrency || 1, 1), 4) },
  () => ({ worker: null, current: null }));
slots.forEach(startWorker);
const busy = () => slots.filter((slot) => slot.current !== null);
// No file running: the zip can be made.
const idle = () => slots.every((slot) => slot.current === null);

// A worker from a blob: a page opened from file:// may not start one from a
// script's URL.
function startWorker(slot) {
  const url = URL.createObjectURL(new Blob([WORKER_SOURCE], { type: 'text/javascript' }));
  const w = new Worker(url);
  URL.revokeObjectURL(url);
  const handlers = {
    done: (data) => finish(slot, data),
    zipped,
  };
  w.onmessage = (event) => handlers[event.data.type](event.data);
  // A worker that died (a fault of the program or the browser's own limit)
  // is replaced, and the batch goes on with the next file.
  w.onerror = (event) => {
    event.preventDefault();
    w.terminate();
    startWorker(slot);
    if (slot.current) {
      finish(slot, { lines: [['err', 'The browser stopped the program: ' + (event.message || 'no reason given')]],
                     status: 134, image: null });
    }
  };
  slot.worker = w;
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
  $('progress').max = Math.max(batch.bytes, 1);
  $('progress').value = batch.doneBytes;
  $('progress-text').textContent = batch.files === 0 ? 'No files yet.'
    : `${batch.done} of ${batch.files} files done, ${formatBytes(batch.doneBytes)} of ${formatBytes(batch.bytes)}`;
  $('save-all').disabled = !idle() || !$('files').querySelector('a[download]');
  $('clear').disabled = busy().length > 0 || batch.files === 0;
}

function add(files) {
  for (const file of files) {
    const item = document.createElement('li');
    item.className = 'file';
    item.dataset.name = file.name;
    const title = document.createElement('h2');
    title.textContent = `${file.name} (${formatBytes(file.size)})`;
    const state = document.createElement('p');
    state.className = 'status';
    state.textContent = 'waiting';
    item.append(title, state);
    $('files').append(item);
    queue.push({ file, item });
    batch.files += 1;
    batch.bytes += file.size;
  }
  next();
}

function next() {
  for (const slot of slots) {
    const running = busy();
    if (queue.length === 0 || (running.length > 0
        && (queue[0].file.size >= LARGE || running.some((s) => s.current.file.size >= LARGE)))) {
      break;
    }
    if (slot.current === null) {
      slot.current = queue.shift();
      slot.current.item.querySelector('.status').textContent = 'unpacking';
      slot.worker.postMessage({ type: 'run', file: slot.current.file });
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

function sameLines(a, b) {
  return a.length === b.length && a.every((line, i) => line[0] === b[i][0] && line[1] === b[i][1]);
}

function finish(slot, { lines, status, image, crc }) {
  const { file, item } = slot.current;
  slot.current = null;
  let [head, rest] = splitBanner(lines);
  if (head !== null && banner === null) {
    banner = head;
    $('banner').textContent = head.map((line) => line[1]).join('\n');
  }
  if (head !== null && !sameLines(head, banner)) {
    rest = lines;
  }
  const pre = document.createElement('pre');
  for (const [stream, text] of rest) {
    const span = document.createElement('span');
    span.className = stream;
    span.textContent = text + '\n';
    if (stream === 'err') {
      span.setAttribute('aria-label', 'error: ' + text);
    }
    pre.append(span);
  }
  const state = item.querySelector('.status');
  state.textContent = MEANING[status] || `failed (status ${status}): the program stopped before it could say why`;
  state.before(pre);
  if (image) {
    const name = file.name + '.nds';
    const url = URL.createObjectURL(image);
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    link.textContent = `Save ${name} (${formatBytes(image.size)})`;
    link.image = image;
    link.crc = crc;
    state.after(link);
  }
  item.dataset.status = status;
  batch.done += 1;
  batch.doneBytes += file.size;
  next();
}

// The images in the list's order.
function saveAll() {
  const links = [...$('files').querySelectorAll('a[download]')];
  $('save-all').disabled = true;
  $('progress-text').textContent = `Making a zip of ${links.length} images...`;
  slots[0].worker.postMessage({ type: 'zip', images: links.map((a) => ({ name: a.download, blob: a.image, crc: a.crc })) });
}

function zipped({ blob, error }) {
  const link = $('zip-link');
  if (link.href) {
    URL.revokeObjectURL(link.href);
  }
  if (error) {
    link.removeAttribute('href');
    link.hidden = true;
    showProgress();
    $('progress-text').textContent = 'The zip could not be made: ' + error;
    return;
  }
  link.href = URL.createObjectURL(blob);
  link.download = 'unlzon-images.zip';
  link.textContent = `Save unlzon-images.zip again (${formatBytes(blob.size)})`;
  link.hidden = false;
  link.click();
  showProgress();
}

function clear() {
  for (const link of $('files').querySelectorAll('a[download]')) {
    URL.revokeObjectURL(link.href);
  }
  batch = { files: 0, done: 0, bytes: 0, doneBytes: 0 };
  $('files').replaceChildren();
  $('zip-link').hidden = true;
  showProgress();
}

$('pick').addEventListener('change', (event) => {
  add(Array.from(event.target.files));
  event.target.value = '';
});
$('save-all').addEventListener('click', saveAll);
$('clear').addEventListener('click', clear);
// Files dropped anywhere on the page count, not only on the box.
document.addEventListener('dragover', (event) => {
  event.preventDefault();
  $('drop').classList.add('over');
});
document.addEventListener('dragleave', () => $('drop').classList.remove('over'));
document.addEventListener('drop', (event) => {
  event.preventDefault();
  $('drop').classList.remove('over');
  add(Array.from(event.dataTransfer.files));
});
