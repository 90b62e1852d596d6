// SPDX-License-Identifier: GPL-2.0-or-later
#include "windows/interrupts.h"

namespace unlzon::windows {

namespace {

// Control handlers run on a thread of their own, so the pending file is
// guarded by a lock that the main thread holds around create and commit.
SRWLOCK pending_lock = SRWLOCK_INIT;
std::wstring pending_path;
bool pending_registered = false;
bool pending_deleted_on_close = false;

BOOL WINAPI discard_pending_and_end(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    // Kept until the process ends: a commit that has not started never
    // starts, one that has finishes first and leaves nothing registered.
    AcquireSRWLockExclusive(&pending_lock);
    if (pending_registered && !pending_deleted_on_close) {
        // The file is open with FILE_SHARE_DELETE: it goes when the process
        // closes its handle on the way out.
        (void)DeleteFileW(pending_path.c_str());
    }
    // The default handler then ends the process as Ctrl+C always does.
    return FALSE;
}

}  // namespace

void install_control_handler() {
    (void)SetConsoleCtrlHandler(discard_pending_and_end, TRUE);
}

control_blocker::control_blocker() {
    AcquireSRWLockExclusive(&pending_lock);
}

control_blocker::~control_blocker() {
    ReleaseSRWLockExclusive(&pending_lock);
}

void register_pending_file(const std::wstring& path, bool deleted_on_close) {
    pending_path = path;
    pending_deleted_on_close = deleted_on_close;
    pending_registered = true;
}

void unregister_pending_file() {
    pending_registered = false;
    pending_path.clear();
}

bool pending_file_deleted_on_close() {
    return pending_registered && pending_deleted_on_close;
}

}  // namespace unlzon::windows
