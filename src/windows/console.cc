// SPDX-License-Identifier: GPL-2.0-or-later
#include "windows/console.h"

#include <windows.h>

namespace unlzon::windows {

namespace {

bool is_console(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    // A file, pipe or the null device has no console mode.
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

}  // namespace

bool keeps_window_open(const console_state& state) {
    return state.processes == 1 && state.streams_on_console;
}

console_state current_console() {
    // Only the count matters: it is returned whatever the room for the ids.
    DWORD ids[2] = {};
    const DWORD processes = GetConsoleProcessList(ids, 2);
    return {processes, is_console(STD_INPUT_HANDLE) && is_console(STD_OUTPUT_HANDLE) &&
                           is_console(STD_ERROR_HANDLE)};
}

void hold_window_if_alone() {
    if (!keeps_window_open(current_console())) {
        return;
    }
    // The lines stay exactly what they are everywhere else: the title, not
    // the output, says how to close the window.
    (void)SetConsoleTitleW(L"unlzon - press any key to close this window");
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    // Keys pressed while the demo was unpacked must not close it unread.
    (void)FlushConsoleInputBuffer(input);
    INPUT_RECORD record{};
    DWORD read = 0;
    while (ReadConsoleInputW(input, &record, 1, &read) && read == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
            return;
        }
    }
}

}  // namespace unlzon::windows
