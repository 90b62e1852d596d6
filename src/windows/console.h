// SPDX-License-Identifier: GPL-2.0-or-later
// Keeping the console window open at the end of a run that Explorer started
// (a demo dropped onto unlzon.exe), so that its lines can be read.
#pragma once

namespace unlzon::windows {

/// The run's console as the end of the run finds it.
struct console_state {
    /// Processes attached to the console (GetConsoleProcessList); 0 without one.
    unsigned long processes;
    /// Whether standard input, output and error all are that console, none
    /// redirected to a file, pipe or device.
    bool streams_on_console;
};

/// Whether to wait for a key before exiting: only when the console was made
/// for this process alone, so that it closes with it, and every stream shows
/// in it. Never under a console's shell, a script, or with a stream
/// redirected, where nobody would be there to press a key.
bool keeps_window_open(const console_state& state);

/// The state of this process's console now.
console_state current_console();

/// When keeps_window_open(current_console()), wait for a key press in the
/// console; return at once otherwise. The caller flushes the standard
/// streams first, so that every line shows before the wait.
void hold_window_if_alone();

}  // namespace unlzon::windows
