// SPDX-License-Identifier: GPL-2.0-or-later
// Run before the program's runtime starts, in every instance of unlzon.js:
// the folder that a page puts its demos in and finds their images in.
Module['preRun'] = [].concat(Module['preRun'] || [], function () {
  FS.mkdir('/work');
});
