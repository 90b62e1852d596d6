// SPDX-License-Identifier: GPL-2.0-or-later
// Run before the program's runtime starts, in every instance of unlzon.js.
Module['preRun'] = [].concat(Module['preRun'] || [], function () {
  // The folder that a page puts its demos in and finds their images in.
  FS.mkdir('/work');
  // A file of the in-memory file system is memory of its own (a typed array,
  // or Blobs as below), which the browser may refuse (RangeError): the
  // program then meets a full disk ("Could not write output file", status
  // 255) instead of an exception that would end the run without its line.
  var ENOSPC = 51;  // emscripten's own numbers, as its <errno.h> has them
  var EIO = 29;
  function diskFullWhenRefused(operation) {
    return function () {
      try {
        return operation.apply(this, arguments);
      } catch (error) {
        throw error instanceof RangeError ? new FS.ErrnoError(ENOSPC) : error;
      }
    };
  }
  var file = MEMFS.ops_table.file;

  // A file that the program writes from its own memory (the image) is kept
  // as Blobs of a piece each, not as one typed array: a page needs the image
  // as a Blob anyway, and a typed array would hold it once more until then.
  // Such a file takes what the program asks of its image: appends, and a
  // size that grows (a zero tail, made of one shared zero piece) or goes to
  // nothing. Anything else is an I/O error, never a wrong byte.
  // Module.fileBlob(PATH) gives any file as one Blob, or null where there is
  // none; Module.onWrite(BYTES), when given, sees the image's bytes in order,
  // and Module.onWrite(null) where the image is cut back to nothing.
  var PIECE = 4 << 20;
  var zeros = null;
  function append(node, bytes) {
    for (var at = 0; at < bytes.length; at += PIECE) {
      var piece = bytes.subarray(at, at + PIECE);
      node.parts.push(new Blob([piece]));
      if (Module['onWrite']) {
        Module['onWrite'](piece);
      }
    }
    node.usedBytes += bytes.length;
  }
  function appendZeros(node, count) {
    zeros = zeros || new Uint8Array(PIECE);
    var blob = new Blob([zeros]);
    for (; count > 0; count -= PIECE) {
      var size = Math.min(count, PIECE);
      node.parts.push(size === PIECE ? blob : blob.slice(0, size));
      node.usedBytes += size;
      if (Module['onWrite']) {
        Module['onWrite'](zeros.subarray(0, size));
      }
    }
  }
  // Whether a file is kept as Blobs: one the program starts from nothing.
  function asBlobs(node, byProgram) {
    if (!node.parts && byProgram && node.usedBytes === 0 && typeof Blob === 'function') {
      node.parts = [];
    }
    return node.parts;
  }
  var write = file.stream.write;
  file.stream.write = diskFullWhenRefused(function (stream, buffer, offset, length, position) {
    var node = stream.node;
    if (!asBlobs(node, buffer.buffer === HEAP8.buffer && position === 0)) {
      return write.apply(this, arguments);
    }
    if (position !== node.usedBytes) {
      throw new FS.ErrnoError(EIO);
    }
    node.timestamp = Date.now();
    // Bytes, not the program's signed view of them.
    append(node, new Uint8Array(buffer.buffer, buffer.byteOffset + offset, length));
    return length;
  });
  var setattr = file.node.setattr;
  file.node.setattr = diskFullWhenRefused(function (node, attr) {
    if (attr.size === undefined || attr.size === node.usedBytes || !asBlobs(node, true)) {
      return setattr.apply(this, arguments);
    }
    if (attr.size === 0) {
      node.parts = null;
      node.usedBytes = 0;
      if (Module['onWrite']) {
        Module['onWrite'](null);
      }
    } else if (attr.size > node.usedBytes) {
      appendZeros(node, attr.size - node.usedBytes);
    } else {
      throw new FS.ErrnoError(EIO);
    }
    var rest = Object.assign({}, attr);
    delete rest.size;
    return setattr.call(this, node, rest);
  });
  var read = file.stream.read;
  file.stream.read = function (stream) {
    if (stream.node.parts) {
      throw new FS.ErrnoError(EIO);
    }
    return read.apply(this, arguments);
  };
  // Module.unreadableFile(PATH, SIZE) makes a file of SIZE bytes every read
  // of which fails (EIO): what the program is given for a file the browser
  // would not read, so that it says what it says of a disk that fails.
  Module['unreadableFile'] = function (path, size) {
    FS.writeFile(path, new Uint8Array(0));
    var node = FS.lookupPath(path).node;
    node.parts = [];
    node.usedBytes = size;
  };
  Module['fileBlob'] = function (path) {
    var found = FS.analyzePath(path);
    if (!found.exists) {
      return null;
    }
    var node = found.object;
    return new Blob(node.parts || [MEMFS.getFileDataAsTypedArray(node)]);
  };
});
