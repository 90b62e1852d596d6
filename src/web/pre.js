// SPDX-License-Identifier: GPL-2.0-or-later
// Run before the program's runtime starts, in every instance of unlzon.js.
Module['preRun'] = [].concat(Module['preRun'] || [], function () {
  // The folder that a page puts its demos in and finds their images in.
  FS.mkdir('/work');
  // A file of the in-memory file system is a typed array of its own, which
  // the browser may refuse to allocate (RangeError): the program then meets a
  // full disk ("Could not write output file", status 255) instead of an
  // exception that would end the run without its line.
  var ENOSPC = 51;  // emscripten's own number, as its <errno.h> has it
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
  file.stream.write = diskFullWhenRefused(file.stream.write);
  file.node.setattr = diskFullWhenRefused(file.node.setattr);
});
