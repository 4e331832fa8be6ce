// ondrel-check.exe as the Windows packages install it: "ondrel check" by its
// own name, as the two-line script is on Linux. It runs the ondrel.exe beside
// it with "check" and its own arguments, shares its standard input, output and
// error, and exits with its exit status; 127 (as a shell's exec) when ondrel.exe
// cannot be started.
//
// The arguments are handed on as this program received them: the command line
// after our own name goes unchanged after "check", so the runtime of ondrel.exe
// splits it exactly as ours would have (spaces, quotes, backslashes), and
// nothing is quoted again. Built without a C runtime (kernel32 alone, a few
// KB): no static constructor runs here, and nothing may need one.
#include <windows.h>

#include "platform/win32/handles.h"

namespace {

using ondrel::platform::KernelHandle;

constexpr DWORD kCannotStart = 127;
// The longest command line Windows takes, with its terminating null.
constexpr DWORD kLineCapacity = 32768;

wchar_t g_path[kLineCapacity];
wchar_t g_line[kLineCapacity];

// The rest of a command line after the program's name, split as the C
// runtime splits it: quotes toggle, a space or tab outside them ends the name
// (no backslash escapes in the name).
const wchar_t* AfterProgramName(const wchar_t* line) {
    bool quoted = false;
    for (; *line != L'\0'; ++line) {
        if (*line == L'"') {
            quoted = !quoted;
        } else if (!quoted && (*line == L' ' || *line == L'\t')) {
            break;
        }
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

// Appends text at *end, keeping room for the terminating null; false when full.
bool Append(wchar_t* buffer, DWORD& end, const wchar_t* text) {
    for (; *text != L'\0'; ++text) {
        if (end + 1 >= kLineCapacity) return false;
        buffer[end++] = *text;
    }
    buffer[end] = L'\0';
    return true;
}

void WriteError(const char* text, DWORD code) {
    char message[160];
    DWORD n = 0;
    for (const char* p = "ondrel-check: "; *p != '\0'; ++p) message[n++] = *p;
    for (; *text != '\0' && n < 120; ++text) message[n++] = *text;
    const char* tail = " (error ";
    for (; *tail != '\0'; ++tail) message[n++] = *tail;
    char digits[12];
    DWORD count = 0;
    do {
        digits[count++] = static_cast<char>('0' + code % 10);
        code /= 10;
    } while (code != 0);
    while (count != 0) message[n++] = digits[--count];
    message[n++] = ')';
    message[n++] = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, n, &written, nullptr);
}

// Ctrl+C and Ctrl+Break reach ondrel.exe too, in the same console: we wait
// for its answer rather than end first. (A handler, unlike ignoring the
// signal, is not inherited by the child.)
BOOL WINAPI WaitForChild(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

DWORD Run() {
    const DWORD length = GetModuleFileNameW(nullptr, g_path, kLineCapacity);
    if (length == 0 || length >= kLineCapacity) {
        WriteError("cannot find its own path", GetLastError());
        return kCannotStart;
    }
    DWORD folder = length;
    while (folder != 0 && g_path[folder - 1] != L'\\' && g_path[folder - 1] != L'/') --folder;
    DWORD pathEnd = folder;
    DWORD lineEnd = 0;
    if (!Append(g_path, pathEnd, L"ondrel.exe") || !Append(g_line, lineEnd, L"\"") ||
        !Append(g_line, lineEnd, g_path) || !Append(g_line, lineEnd, L"\" check")) {
        WriteError("the path of ondrel.exe is too long", ERROR_FILENAME_EXCED_RANGE);
        return kCannotStart;
    }
    const wchar_t* arguments = AfterProgramName(GetCommandLineW());
    if (*arguments != L'\0' && (!Append(g_line, lineEnd, L" ") || !Append(g_line, lineEnd, arguments))) {
        WriteError("the command line is too long", ERROR_FILENAME_EXCED_RANGE);
        return kCannotStart;
    }

    // The standard handles go to the child as they are, inheritable for it.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    SetConsoleCtrlHandler(WaitForChild, TRUE);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(g_path, g_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        WriteError("cannot start ondrel.exe beside it", GetLastError());
        return kCannotStart;
    }
    const KernelHandle process(started.hProcess);
    const KernelHandle thread(started.hThread);
    DWORD status = kCannotStart;
    if (WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.Get(), &status)) {
        WriteError("lost ondrel.exe", GetLastError());
        return kCannotStart;
    }
    return status;
}

}  // namespace

// The entry point (no C runtime): the handles are closed before the process ends.
extern "C" void OndrelCheckStart() { ExitProcess(Run()); }
