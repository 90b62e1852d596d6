// SPDX-License-Identifier: GPL-2.0-or-later
// What the run needs of its process before it starts.
#pragma once

namespace unlzon {

/// Make the process safe to run the tool in: a closed standard stream is
/// reopened on the null device, so that no file of the run takes its number
/// and receives progress text; a closed pipe or a file-size limit makes a
/// write fail instead of killing the process; and the interrupt signals
/// discard a pending output before the process dies of them, except those
/// that were ignored at start. False if a closed standard stream could not be
/// reopened.
bool prepare_process();

}  // namespace unlzon
