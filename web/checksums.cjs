// SPDX-License-Identifier: GPL-2.0-or-later
// An image's CRC-32, MD5 and SHA-1, taken in pieces as the program writes
// them, with hash-wasm's hashers; and the zip's list of SHA-1 sums. No DOM:
// it runs in the page's worker (as the global unlzonChecksums, after
// hash-wasm's crc32, md5 and sha1 builds, which make the global hashwasm)
// and in node (require).
'use strict';
(function (exports, hashwasm) {
  /**
   * Resolves to the hashers of one image: update(chunk) takes its bytes in
   * order (a Uint8Array, of any length); digest() gives {crc32, md5, sha1}
   * as lower-case hex, after which the object is spent.
   */
  async function createChecksums() {
    const hashers = await Promise.all([hashwasm.createCRC32(), hashwasm.createMD5(), hashwasm.createSHA1()]);
    for (const hasher of hashers) {
      hasher.init();
    }
    return {
      update(chunk) {
        for (const hasher of hashers) {
          hasher.update(chunk);
        }
      },
      digest() {
        const [crc32, md5, sha1] = hashers.map((hasher) => hasher.digest('hex'));
        return { crc32, md5, sha1 };
      },
    };
  }

  /**
   * The text of a `sha1sum -c` file for [{path, sha1}]: a line per entry,
   * in order. A path with a backslash, LF or CR is escaped as GNU sha1sum
   * writes it (the line begins with a backslash), so that every path reads
   * back whole.
   */
  function sha1sumList(entries) {
    return entries.map(({ path, sha1 }) => {
      const escaped = path.replace(/[\\\n\r]/g, (c) => (c === '\\' ? '\\\\' : c === '\n' ? '\\n' : '\\r'));
      return `${escaped === path ? '' : '\\'}${sha1}  ${escaped}\n`;
    }).join('');
  }

  Object.assign(exports, { createChecksums, sha1sumList });
})(typeof module === 'object' && module.exports ? module.exports : (globalThis.unlzonChecksums = {}),
   typeof module === 'object' && module.exports ? require('hash-wasm') : globalThis.hashwasm);
