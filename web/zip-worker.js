// SPDX-License-Identifier: GPL-2.0-or-later
// The zip worker: keeps the batch's images, which the program workers send
// it through their ports, and hands one to the page when the user saves it;
// opens the zips the user gives (their demos come out as Blobs); and makes
// the zip of "Save all". The page ends it on Clear, and with it every image
// at once (a Blob the page held would stay until its garbage is collected).
// zip.js, through its public interface (it writes ZIP64 where sizes, offsets
// or the number of entries need it), and web/checksums.cjs (for its list of
// sums) are put before this script by web/build.mjs.
'use strict';

// No workers of zip.js's own: this is one, and the page's policy lets it
// start none from a URL of its own. Stored entries and the browser's
// DecompressionStream need no codec.
zip.configure({ useWebWorkers: false });

const images = new Map();  // a demo's id -> its image's Blob

let work = Promise.resolve();
self.onmessage = (event) => {
  const message = event.data;
  if (message.type === 'port') {
    message.port.onmessage = ({ data: { id, blob } }) => {
      images.set(id, blob);
      self.postMessage({ type: 'kept', id });
    };
    return;
  }
  const handlers = { open, make, image: ({ id }) => self.postMessage({ type: 'image', blob: images.get(id) }) };
  work = work.then(() => handlers[message.type](message));
};

const describe = (error) => String(error && error.message ? error.message : error);

// The entries of the zip `file`: {names: every entry's name, demos: [{name,
// blob}] for each file whose name ends in .bin in any case}, blob null where
// zip.js could not take the entry out (damaged, encrypted, a method it does
// not know); or {error} where the file is no zip it can read.
async function open({ id, file }) {
  let reader = null;
  try {
    reader = new zip.ZipReader(new zip.BlobReader(file));
    // Every name, "../x.bin" and "C:\x.bin" too: the page takes the
    // demos into a tree of its own, with such parts of the name dropped.
    const entries = await reader.getEntries({ filenameValidation: 'tolerant' });
    const demos = [];
    for (const entry of entries) {
      if (entry.directory || !/\.bin$/i.test(entry.filename)) {
        continue;
      }
      let blob = null;
      try {
        blob = await entry.getData(new zip.BlobWriter());
      } catch {
        blob = null;
      }
      demos.push({ name: entry.filename, blob });
    }
    self.postMessage({ type: 'opened', id, names: entries.map((e) => e.filename), demos });
  } catch (error) {
    self.postMessage({ type: 'opened', id, error: describe(error) });
  } finally {
    if (reader) {
      await reader.close().catch(() => {});
    }
  }
}

// One zip of the kept images `entries` ([[id, name, crc32]], names already
// safe and unique; crc32 as hex, or null where it was not taken), each stored
// as it is (the demos were the compressed form), and unlzon-images.sha1 with
// the SHA-1 sums `sums` ([{path, sha1}]) where there are any.
async function make({ entries, sums }) {
  try {
    const writer = new zip.ZipWriter(new zip.BlobWriter('application/zip'), { level: 0 });
    for (const [index, [id, name, crc32]] of entries.entries()) {
      const blob = images.get(id);
      // The CRC-32 taken as the image was written: zip.js then reads the
      // image once, to copy it, and not to take its own.
      const known = crc32 ? { passThrough: true, compressionMethod: 0, uncompressedSize: blob.size,
        crc32: Number.parseInt(crc32, 16) } : {};
      await writer.add(name, new zip.BlobReader(blob), { level: 0, ...known });
      self.postMessage({ type: 'zipping', done: index + 1, total: entries.length });
    }
    if (sums.length > 0) {
      await writer.add('unlzon-images.sha1', new zip.TextReader(unlzonChecksums.sha1sumList(sums)), { level: 0 });
    }
    self.postMessage({ type: 'zipped', blob: await writer.close() });
  } catch (error) {
    self.postMessage({ type: 'zipped', error: describe(error) });
  }
}
