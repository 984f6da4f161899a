// Starts a Windows program the way a Windows host does (CreateProcessW with
// inherited standard handles), for the process tests that run on Linux
// against the Windows build under Wine. It gives the tests two things that a
// Linux parent cannot express through Wine:
//
// - Words that are not text. Wine turns the UTF-8 words of a Linux command
//   line into UTF-16 and replaces what it cannot convert with U+FFFD, so no
//   unpaired surrogate gets through. Here "\uXXXX" (a backslash, "u" and four
//   hexadecimal digits) in a word stands for that UTF-16 code unit.
// - A program started without standard input or output. A closed descriptor
//   on the Linux side still becomes some handle under Wine; with the
//   variables DEBRINDLE_START_WITHOUT_STDIN or DEBRINDLE_START_WITHOUT_STDOUT
//   set, the program gets no handle at all (the variables are removed before
//   it starts).
// - A named pipe that no one writes to, \\.\pipe\debrindle-no-writer, held
//   while the program runs: a model path that must be refused, not read.
//
// Usage: start-process.exe PROGRAM [WORD...]; the status is the program's.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int hex_digit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

std::wstring unescape(const std::wstring& word) {
    std::wstring out;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (word[i] == L'\\' && word.size() - i >= 6 && word[i + 1] == L'u') {
            int value = 0;
            bool ok = true;
            for (std::size_t k = 2; k < 6; ++k) {
                const int digit = hex_digit(word[i + k]);
                ok = ok && digit >= 0;
                value = value * 16 + (digit < 0 ? 0 : digit);
            }
            if (ok) {
                out.push_back(static_cast<wchar_t>(value));
                i += 5;
                continue;
            }
        }
        out.push_back(word[i]);
    }
    return out;
}

// One word of a command line as CommandLineToArgvW reads it back.
void append_quoted(std::wstring& line, const std::wstring& word) {
    if (!line.empty()) line.push_back(L' ');
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += word;
        return;
    }
    line.push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, L'\\');  // before the closing quote
    line.push_back(L'"');
}

// Reads and removes one of the switches above.
bool take_switch(const wchar_t* name) {
    const bool set = GetEnvironmentVariableW(name, nullptr, 0) > 0;
    SetEnvironmentVariableW(name, nullptr);
    return set;
}

HANDLE inheritable(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    return handle;
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words == nullptr || count < 2) {
        std::fwprintf(stderr, L"usage: start-process.exe PROGRAM [WORD...]\n");
        return 120;
    }
    std::wstring line;
    for (int i = 1; i < count; ++i) append_quoted(line, unescape(words[i]));

    const bool without_stdin = take_switch(L"DEBRINDLE_START_WITHOUT_STDIN");
    const bool without_stdout = take_switch(L"DEBRINDLE_START_WITHOUT_STDOUT");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = without_stdin ? nullptr : inheritable(GetStdHandle(STD_INPUT_HANDLE));
    startup.hStdOutput = without_stdout ? nullptr : inheritable(GetStdHandle(STD_OUTPUT_HANDLE));
    startup.hStdError = inheritable(GetStdHandle(STD_ERROR_HANDLE));

    (void)CreateNamedPipeW(L"\\\\.\\pipe\\debrindle-no-writer", PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE,
                           PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
    PROCESS_INFORMATION process{};
    const std::wstring program = unescape(words[1]);
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fwprintf(stderr, L"start-process: cannot start %ls (error %lu)\n", program.c_str(), GetLastError());
        return 121;
    }
    // Only the program may hold the pipes now, so that the test sees their
    // ends when the program ends.
    for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE}) {
        const HANDLE handle = GetStdHandle(which);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
