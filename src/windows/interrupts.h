// SPDX-License-Identifier: GPL-2.0-or-later
// The one pending file that a console control event (Ctrl+C, Ctrl+Break, closing the console,
// logoff, shutdown) must not leave behind.
#pragma once

#include <windows.h>

#include <string>

namespace unlzon::windows {

/// Install the console control handler; call once, at start.
void install_control_handler();

/// Holds control events back for its lifetime, so that a file can be
/// created and registered, or renamed and unregistered, with no moment in
/// between. A control event that arrives meanwhile waits for the end.
class control_blocker {
  public:
    control_blocker();
    ~control_blocker();
    control_blocker(const control_blocker&) = delete;
    control_blocker& operator=(const control_blocker&) = delete;
};

/// Have a control event delete `path`, unless the file is already marked to be deleted when closed
/// (`deleted_on_close`). One file at a time; call with a control_blocker held.
void register_pending_file(const std::wstring& path, bool deleted_on_close);

/// Stop deleting the registered file; call with a control_blocker held.
void unregister_pending_file();

/// Whether the registered file was marked to be deleted when closed.
bool pending_file_deleted_on_close();

}  // namespace unlzon::windows
