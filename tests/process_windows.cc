// SPDX-License-Identifier: GPL-2.0-or-later
// Running the built program on Windows: CreateProcessW with pipes for the
// standard streams, the command line quoted as the C runtime parses it.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace unlzon::test {

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    (void)MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
    return wide;
}

// One argument as CommandLineToArgvW and the C runtime read it back: quoted,
// with backslashes doubled only where a quote follows them.
void append_quoted(std::wstring& line, const std::wstring& arg) {
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::wstring command_line(const std::vector<std::string>& argv) {
    std::wstring line;
    for (const std::string& arg : argv) {
        if (!line.empty()) {
            line += L' ';
        }
        append_quoted(line, widen(arg));
    }
    return line;
}

std::vector<std::string> unlzon_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{UNLZON_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

HANDLE open_null(DWORD access) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                       0, nullptr);
}

// A pipe whose writing end the child inherits and whose reading end it does not.
void make_pipe(HANDLE& read_end, HANDLE& write_end) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read_end, &write_end, &inherit, 0) ||
        !SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
}

// The file-size limit is only a safety net for the sweep here: a Windows
// process has none, and the test of the limit itself skips.
void require_supported(const run_options& options) {
    if (options.out == stdout_target::full_device || options.as_nobody ||
        options.memory_limit != 0 || !options.ignored_signals.empty() || options.stdin_closed ||
        options.stderr_closed || options.hide_proc || options.empty_dev ||
        options.open_files_limit != 0) {
        throw std::logic_error("run option with no Windows equivalent; the test must skip");
    }
}

// Start `argv` with the given standard handles; the process handle stays open.
PROCESS_INFORMATION start(const std::vector<std::string>& argv, const run_options& options,
                          HANDLE out, HANDLE err) {
    require_supported(options);
    const HANDLE in = open_null(GENERIC_READ);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::wstring line = command_line(argv);
    const std::wstring program = widen(argv.at(0));
    const std::wstring folder = widen(options.working_dir);
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    CloseHandle(in);
    if (!started) {
        throw std::runtime_error("CreateProcessW failed");
    }
    CloseHandle(process.hThread);
    return process;
}

std::string drain(HANDLE pipe) {
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    CloseHandle(pipe);
    return text;
}

run_result wait_for(HANDLE process) {
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    run_result result;
    // exit(-1) reaches a POSIX shell as 255; anything else beyond a byte is
    // an abnormal end (an exception, Ctrl+C, TerminateProcess).
    if (code <= 0xFF || code == 0xFFFFFFFF) {
        result.status = static_cast<int>(code & 0xFF);
    } else {
        result.signal = static_cast<int>(code);
    }
    return result;
}

std::map<int, HANDLE>& started_processes() {
    static std::map<int, HANDLE> processes;
    return processes;
}

}  // namespace

temp_dir::temp_dir() {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            base / ("unlzon-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount64()) + "-" + std::to_string(attempt));
        if (fs::create_directory(candidate)) {
            path_ = candidate.u8string();
            return;
        }
    }
    throw std::runtime_error("cannot make a scratch folder");
}

run_result run_program(const std::vector<std::string>& argv, const run_options& options) {
    HANDLE out_read = nullptr;
    HANDLE out_write = nullptr;
    HANDLE err_read = nullptr;
    HANDLE err_write = nullptr;
    make_pipe(err_read, err_write);
    HANDLE child_out = nullptr;
    switch (options.out) {
        case stdout_target::captured:
            make_pipe(out_read, out_write);
            child_out = out_write;
            break;
        case stdout_target::closed_pipe: {
            HANDLE unread = nullptr;
            make_pipe(unread, out_write);
            CloseHandle(unread);
            child_out = out_write;
            break;
        }
        case stdout_target::closed:
        case stdout_target::full_device:
            break;
    }
    PROCESS_INFORMATION process{};
    try {
        process = start(argv, options, child_out, options.merge_streams ? out_write : err_write);
    } catch (...) {
        for (HANDLE h : {out_read, out_write, err_read, err_write}) {
            if (h != nullptr) {
                CloseHandle(h);
            }
        }
        throw;
    }
    // Only the child may hold the writing ends, so that the reads see its end.
    if (out_write != nullptr) {
        CloseHandle(out_write);
    }
    CloseHandle(err_write);
    std::string err;
    std::thread err_reader([&] { err = drain(err_read); });
    std::string out = out_read != nullptr ? drain(out_read) : std::string();
    err_reader.join();
    run_result result = wait_for(process.hProcess);
    result.out = std::move(out);
    result.err = std::move(err);
    return result;
}

run_result run_unlzon(const std::vector<std::string>& args, const run_options& options) {
    return run_program(unlzon_argv(args), options);
}

int start_unlzon(const std::vector<std::string>& args, const run_options& options) {
    const HANDLE null_out = open_null(GENERIC_WRITE);
    PROCESS_INFORMATION process{};
    try {
        process = start(unlzon_argv(args), options, null_out, null_out);
    } catch (...) {
        CloseHandle(null_out);
        throw;
    }
    CloseHandle(null_out);
    const int pid = static_cast<int>(process.dwProcessId);
    started_processes()[pid] = process.hProcess;
    return pid;
}

run_result finish_program(int pid) {
    const auto found = started_processes().find(pid);
    if (found == started_processes().end()) {
        throw std::logic_error("finish_program: not a started program");
    }
    const HANDLE process = found->second;
    started_processes().erase(found);
    return wait_for(process);
}

void kill_program(int pid) {
    const auto found = started_processes().find(pid);
    if (found != started_processes().end()) {
        (void)TerminateProcess(found->second, 1);
    }
}

bool wait_for_open_file_in(int /*pid*/, const std::string& folder, const std::string& /*except*/,
                           double seconds) {
    // No process's open files can be listed here; the pending output shows
    // by its name instead.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const std::string& name : folder_entries(folder)) {
            if (name.rfind(".unlzon-", 0) == 0) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

bool running_as_root() {
    return false;
}

bool memory_limit_enforced() {
    return false;  // no RLIMIT_AS: memory_limit is not applied
}

}  // namespace unlzon::test
