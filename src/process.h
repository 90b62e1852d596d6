// SPDX-License-Identifier: GPL-2.0-or-later
// What the run needs of its process before it starts.
#pragma once

#include <functional>

namespace unlzon {

/// Make the process safe to run the tool in: a closed standard stream is
/// reopened on the null device, so that no file of the run takes its number
/// and receives progress text; a closed pipe or a file-size limit makes a
/// write fail instead of killing the process; and the interrupt signals
/// discard a pending output before the process dies of them, except those
/// that were ignored at start. False if a closed standard stream could not be
/// reopened.
bool prepare_process();

/// Run `work`, which reads a view of a file; false if the system raised a
/// memory fault on the view meanwhile (SIGBUS: another process cut the file
/// short). `work` is then left midway, so it must own nothing that needs a
/// destructor.
bool run_guarding_file_memory(const std::function<void()>& work);

}  // namespace unlzon
