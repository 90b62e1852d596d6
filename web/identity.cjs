// SPDX-License-Identifier: GPL-2.0-or-later
// An image's identity, read from its header and banner: information only,
// never a reason to alter or refuse an image. No DOM: it runs in the page,
// its worker (as the global unlzonIdentity) and node (require).
//
// The layout (integers little-endian, offsets from the image's first byte):
//   0x000  12  title, ASCII, NUL-padded
//   0x00C   4  game code        0x010  2  maker code
//   0x068   4  the banner's offset, 0 for none
//   0x15E   2  CRC-16/MODBUS of 0x000-0x15D
// The banner, from its offset:
//   +0x000  2  version          +0x002  2  CRC-16/MODBUS of +0x020-+0x83F
//   +0x020 512 icon: 32x32 pixels, 4 bits each (low nibble first), in 4x4
//              tiles of 8x8 pixels, tile by tile, left to right, top to bottom
//   +0x220  32 palette: 16 colours, 15-bit BGR (red in bits 0-4); colour 0 is
//              transparent
//   +0x240 + 0x100 n  title n: 128 UTF-16LE units, NUL-padded, its lines
//              (title, subtitle, publisher) split by LF; n is 0 ja, 1 en,
//              2 fr, 3 de, 4 it, 5 es, 6 zh from version 2, 7 ko from 3.
'use strict';
(function (exports) {
  const HEADER_SIZE = 0x160;
  const BANNER_SIZE = 0x840;  // the banner of version 1, all that it must have
  const BANNER_MOST = 0xa40;  // with the Chinese and Korean titles
  const LANGUAGES = ['ja', 'en', 'fr', 'de', 'it', 'es', 'zh', 'ko'];

  /** CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF) of `bytes`. */
  function crc16Modbus(bytes) {
    let crc = 0xffff;
    for (let i = 0; i < bytes.length; i++) {
      crc ^= bytes[i];
      for (let bit = 0; bit < 8; bit++) {
        crc = crc & 1 ? (crc >>> 1) ^ 0xa001 : crc >>> 1;
      }
    }
    return crc;
  }

  const u16 = (bytes, at) => bytes[at] | (bytes[at + 1] << 8);
  const u32 = (bytes, at) => (u16(bytes, at) | (u16(bytes, at + 2) << 16)) >>> 0;

  // ASCII up to the first NUL; a byte that is no printable ASCII shows as U+FFFD.
  function ascii(bytes) {
    let text = '';
    for (const byte of bytes) {
      if (byte === 0) {
        break;
      }
      text += byte >= 0x20 && byte < 0x7f ? String.fromCharCode(byte) : '\ufffd';
    }
    return text;
  }

  // A title's lines, or null where it is empty or not UTF-16.
  const utf16 = new TextDecoder('utf-16le', { fatal: true });
  function titleLines(bytes) {
    let text;
    try {
      text = utf16.decode(bytes);
    } catch {
      return null;
    }
    const end = text.indexOf('\0');
    text = end < 0 ? text : text.slice(0, end);
    return text === '' ? null : text.split('\n');
  }

  // The icon as 32x32 RGBA pixels, row by row.
  function iconRgba(banner) {
    const palette = [];
    for (let n = 0; n < 16; n++) {
      const colour = u16(banner, 0x220 + 2 * n);
      // 5 bits to 8, so that 31 is 255.
      const wide = (shift) => (((colour >> shift) & 31) << 3) | (((colour >> shift) & 31) >> 2);
      palette.push(n === 0 ? [0, 0, 0, 0] : [wide(0), wide(5), wide(10), 255]);
    }
    const rgba = new Uint8ClampedArray(32 * 32 * 4);
    for (let pixel = 0; pixel < 32 * 32; pixel++) {
      const tile = pixel >> 6;
      const x = ((tile & 3) << 3) | (pixel & 7);
      const y = ((tile >> 2) << 3) | ((pixel >> 3) & 7);
      const index = (banner[0x20 + (pixel >> 1)] >> ((pixel & 1) * 4)) & 15;
      rgba.set(palette[index], (y * 32 + x) * 4);
    }
    return rgba;
  }

  // The language of `titles` that a reader of `languages` wants: theirs, else English.
  function choose(titles, languages) {
    for (const tag of languages) {
      const language = typeof tag === 'string' ? tag.toLowerCase().split(/[-_]/)[0] : '';
      if (Object.hasOwn(titles, language)) {
        return language;
      }
    }
    return Object.hasOwn(titles, 'en') ? 'en' : null;
  }

  // The identity from `window(offset, length)`, which gives those bytes of
  // the image or null where it does not hold them all, for an image of
  // `size` whose first `held` bytes it holds at least.
  function identity(window, size, held, languages) {
    const field = (offset, length) =>
      window(offset, Math.max(0, Math.min(length, held - offset))) ?? new Uint8Array(0);
    const header = window(0, HEADER_SIZE);
    const result = {
      size,
      title: ascii(field(0x000, 12)),
      code: ascii(field(0x00c, 4)),
      maker: ascii(field(0x010, 2)),
      headerChecksumOk: header ? crc16Modbus(header.subarray(0, 0x15e)) === u16(header, 0x15e) : null,
      banner: null,
      displayTitle: '',
    };
    const offsetField = window(0x068, 4);
    const offset = offsetField ? u32(offsetField, 0) : 0;
    const banner = offset !== 0 && offset + BANNER_SIZE <= size ? window(offset, BANNER_SIZE) : null;
    if (banner) {
      const version = u16(banner, 0);
      const count = version >= 3 ? 8 : version >= 2 ? 7 : 6;
      const titles = {};
      for (let n = 0; n < count; n++) {
        const bytes = window(offset + 0x240 + 0x100 * n, 0x100);
        const lines = bytes && titleLines(bytes);
        if (lines) {
          titles[LANGUAGES[n]] = lines;
        }
      }
      const chosenLanguage = choose(titles, languages);
      result.banner = {
        offset,
        version,
        checksumOk: crc16Modbus(banner.subarray(0x20, BANNER_SIZE)) === u16(banner, 2),
        titles,
        chosenLanguage,
        chosenTitle: chosenLanguage ? titles[chosenLanguage] : null,
        iconRgba: iconRgba(banner),
      };
    }
    const chosen = result.banner?.chosenTitle;
    result.displayTitle = chosen?.filter((line) => line !== '').join(' \u2014 ') || result.title;
    return result;
  }

  const languageList = (languages) =>
    Array.isArray(languages) ? languages : typeof languages === 'string' ? [languages] : [];

  /**
   * The identity of an image from `bytes`, its whole or its first bytes, of
   * `size` bytes in all (bytes.length by default); `languages` as
   * navigator.languages gives them. What `bytes` does not hold counts as
   * missing: a banner beyond it is null. Never throws.
   */
  function readIdentity(bytes, languages, size) {
    const image = ArrayBuffer.isView(bytes) ? new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength)
      : bytes instanceof ArrayBuffer ? new Uint8Array(bytes) : new Uint8Array(0);
    const total = Number.isSafeInteger(size) && size >= 0 ? size : image.length;
    const held = Math.min(image.length, total);
    const window = (offset, length) => (offset + length <= held ? image.subarray(offset, offset + length) : null);
    return identity(window, total, held, languageList(languages));
  }

  /**
   * A reader of the image as the program writes it: push(chunk) takes its
   * bytes in order and keeps only the header's and the banner's;
   * read(languages) gives readIdentity's result for what was pushed so far.
   */
  function createIdentityReader() {
    const header = new Uint8Array(HEADER_SIZE);
    let banner = null;
    let bannerOffset = 0;
    let size = 0;
    // The part of `chunk` (at `at` of the image) that falls in `keep` (at `from`).
    const copy = (keep, from, chunk, at) => {
      const begin = Math.max(from, at);
      const end = Math.min(from + keep.length, at + chunk.length);
      if (begin < end) {
        keep.set(chunk.subarray(begin - at, end - at), begin - from);
      }
    };
    return {
      push(chunk) {
        copy(header, 0, chunk, size);
        if (!banner && size + chunk.length >= 0x6c) {
          bannerOffset = u32(header, 0x068);
          banner = new Uint8Array(bannerOffset === 0 ? 0 : BANNER_MOST);
          copy(banner, bannerOffset, header, 0);
        }
        if (banner) {
          copy(banner, bannerOffset, chunk, size);
        }
        size += chunk.length;
      },
      read(languages) {
        const window = (offset, length) => {
          if (offset + length > size) {
            return null;
          }
          if (offset + length <= HEADER_SIZE) {
            return header.subarray(offset, offset + length);
          }
          const from = offset - bannerOffset;
          return banner && from >= 0 && from + length <= banner.length ? banner.subarray(from, from + length) : null;
        };
        return identity(window, size, Math.min(size, HEADER_SIZE), languageList(languages));
      },
    };
  }

  Object.assign(exports, { readIdentity, createIdentityReader, crc16Modbus });
})(typeof module === 'object' && module.exports ? module.exports : (globalThis.unlzonIdentity = {}));
