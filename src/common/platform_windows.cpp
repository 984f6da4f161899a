// The Windows side of the platform layer. Standard streams are used through
// their raw handles (ReadFile, WriteFile), so no byte is ever translated: an
// LF is never written as CR LF and a CR LF on input stays as it is.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/long_path.hpp"
#include "common/platform.hpp"
#include "common/utf16.hpp"

namespace debrindle {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 code units");

std::u16string_view units_of(const wchar_t* text, std::size_t length) {
    return {reinterpret_cast<const char16_t*>(text), length};
}

// The command line as the system parsed it into words (the program's name
// first), converted one word at a time when asked.
wchar_t** command_words = nullptr;
int command_word_total = 0;

// The system's text for an error code, without its line end, and the code:
// "The pipe is being closed. (os error 232)".
IoError error_from_code(DWORD code) {
    wchar_t* message = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text;
    if (length > 0 && message != nullptr) text = utf16_to_wtf8(units_of(message, length));
    if (message != nullptr) LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.empty()) text = "Unknown error";
    return IoError{text + " (os error " + std::to_string(code) + ")"};
}

// A process may be started without some of its standard handles.
bool is_missing(HANDLE handle) { return handle == nullptr || handle == INVALID_HANDLE_VALUE; }

// Where write_standard_error writes once the process's standard error has
// been redirected; until then the standard handle itself.
HANDLE own_standard_error = nullptr;

// Points descriptor 2 of one C run-time library at the null device. Each
// run-time in the process (the helper's, and the Universal CRT that
// MSVC-built engine DLLs use) keeps a table of its own, filled at start.
using OpenFunction = int (*)(const char*, int, ...);
using Dup2Function = int (*)(int, int);
void redirect_descriptor_2(OpenFunction open_file, Dup2Function duplicate) {
    const int null_device = open_file("NUL", _O_WRONLY);
    if (null_device < 0) return;
    (void)duplicate(null_device, 2);
}

// The largest piece handed to one ReadFile or WriteFile call.
constexpr std::size_t largest_transfer = 1U << 20U;

Result<Done, IoError> write_all(DWORD which, std::string_view bytes) {
    const HANDLE handle =
        which == STD_ERROR_HANDLE && own_standard_error != nullptr ? own_standard_error : GetStdHandle(which);
    if (is_missing(handle)) return Done{};  // no such stream: count as written
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min(bytes.size(), largest_transfer));
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) {
            const DWORD code = GetLastError();
            if (code == ERROR_INVALID_HANDLE) return Done{};
            return Failure{error_from_code(code)};
        }
        bytes.remove_prefix(written);
    }
    return Done{};
}

std::wstring wide_from_utf8(const char* text) {
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), units);
    wide.pop_back();  // the terminator, which the string keeps anyway
    return wide;
}

// Set once, before the filter that writes it is installed.
std::string in_page_error_line;

std::atomic_flag fault_seen = ATOMIC_FLAG_INIT;

// Runs on the thread that faulted. Several threads may fault at once; the
// first writes its line and ends the process, the others wait for that end.
// Nothing here allocates: the fault may be a heap in ruins.
[[noreturn]] void stop_after_fault(std::string_view line) {
    if (fault_seen.test_and_set()) {
        for (;;) Sleep(INFINITE);
    }
    (void)write_all(STD_ERROR_HANDLE, line);
    TerminateProcess(GetCurrentProcess(), 101);
    for (;;) Sleep(INFINITE);
}

// Called for an exception that no handler took, on the thread it hit, in
// place of the system's error report (a dialog, or under Wine its debugger,
// which writes to standard output).
// Where an MSVC C++ exception that nothing caught goes back to, while the
// helper is inside call_guarding_foreign_exceptions.
thread_local jmp_buf* foreign_exception_landing = nullptr;
constexpr DWORD msvc_cpp_exception = 0xE06D7363;  // 0xE0000000 | "msc"

LONG WINAPI stop_on_unhandled_exception(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    // longjmp unwinds (RtlUnwindEx) the frames in between, so the DLLs'
    // destructors run as for a catch of their own.
    if (code == msvc_cpp_exception && foreign_exception_landing != nullptr) longjmp(*foreign_exception_landing, 1);
    if (code == EXCEPTION_IN_PAGE_ERROR) stop_after_fault(in_page_error_line);
    static constexpr char hex[] = "0123456789ABCDEF";
    char line[] = "an unhandled exception stopped the helper: code 0x________\n";
    char* digit = line + sizeof line - 2;  // past the last '_'
    for (unsigned shift = 0; shift < 32; shift += 4) *--digit = hex[(code >> shift) & 0xFU];
    stop_after_fault({line, sizeof line - 1});
}

// The engine's C run time (msvcrt.dll for a MinGW-built engine, the
// Universal CRT for an MSVC-built one) would otherwise end the process on
// abort() through the system's error report.
void stop_on_engine_abort(int /*signal*/) { stop_after_fault("the engine's C run time aborted the helper\n"); }

}  // namespace

void prepare_process(int /*argc*/, char** /*argv*/) {
    // No dialog may wait for a click that never comes: not for a DLL or a
    // module that fails to load (the loader, the CPU module probe), not for
    // a drive that is not ready, not for a crash. The engine's modules and
    // what they load run under the same mode.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);

    // main's narrow arguments went through the ANSI code page; the words are
    // taken from the wide command line instead.
    command_words = CommandLineToArgvW(GetCommandLineW(), &command_word_total);
    if (command_words == nullptr) command_word_total = 0;
    // The helper writes through the raw handles; llama.cpp's own log goes
    // through the C run-time's streams, which must not translate either.
    (void)_setmode(_fileno(stdin), _O_BINARY);
    (void)_setmode(_fileno(stdout), _O_BINARY);
    (void)_setmode(_fileno(stderr), _O_BINARY);
    // Windows raises no signal for a closed pipe: a write to one fails with
    // an error code, which becomes the fatal exit.

    // Libraries loaded from now on (the engine's modules and what they load,
    // such as the Vulkan loader) are looked for in the program's folder and
    // the system's folders only, never in the current folder or on PATH.
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    if (const auto set_directories = reinterpret_cast<SetDirectories>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")))) {
        set_directories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
    SetDllDirectoryW(L"");
}

std::size_t command_line_word_count() { return static_cast<std::size_t>(command_word_total); }

std::optional<std::string> command_line_word(std::size_t index) {
    const wchar_t* word = command_words[index];
    return utf16_to_utf8(units_of(word, std::wcslen(word)));
}

Result<std::size_t, IoError> read_standard_input(char* buffer, std::size_t capacity) {
    const HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
    if (is_missing(handle)) return std::size_t{0};  // no standard input: empty
    DWORD got = 0;
    if (ReadFile(handle, buffer, static_cast<DWORD>(std::min(capacity, largest_transfer)), &got, nullptr)) {
        return static_cast<std::size_t>(got);
    }
    switch (const DWORD code = GetLastError()) {
        case ERROR_BROKEN_PIPE:  // the writer closed its end of the pipe
        case ERROR_HANDLE_EOF:
        case ERROR_INVALID_HANDLE:  // no usable standard input: empty
            return std::size_t{0};
        default: return Failure{error_from_code(code)};
    }
}

Result<Done, IoError> write_standard_output(std::string_view bytes) { return write_all(STD_OUTPUT_HANDLE, bytes); }

Result<Done, IoError> write_standard_error(std::string_view bytes) { return write_all(STD_ERROR_HANDLE, bytes); }

void redirect_standard_error_to_null() {
    const HANDLE original = GetStdHandle(STD_ERROR_HANDLE);
    if (is_missing(original)) return;  // no standard error: nothing to keep quiet
    // A copy of our own: pointing a run-time's descriptor 2 elsewhere closes
    // the handle it held, which is the original.
    HANDLE kept = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &kept, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return;
    }
    const HANDLE null_device =
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (null_device == INVALID_HANDLE_VALUE) {
        CloseHandle(kept);
        return;
    }
    own_standard_error = kept;
    SetStdHandle(STD_ERROR_HANDLE, null_device);
    redirect_descriptor_2(reinterpret_cast<OpenFunction>(&_open), &_dup2);
    if (const HMODULE universal_crt = GetModuleHandleW(L"ucrtbase.dll")) {
        const auto open_file =
            reinterpret_cast<OpenFunction>(reinterpret_cast<void*>(GetProcAddress(universal_crt, "_open")));
        const auto duplicate =
            reinterpret_cast<Dup2Function>(reinterpret_cast<void*>(GetProcAddress(universal_crt, "_dup2")));
        if (open_file != nullptr && duplicate != nullptr) redirect_descriptor_2(open_file, duplicate);
    }
}

std::optional<std::filesystem::path> executable_folder() {
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return std::nullopt;
        if (length < name.size()) return std::filesystem::path(std::wstring(name.data(), length)).parent_path();
        name.resize(name.size() * 2);
    }
}

std::filesystem::path loadable_folder(const std::filesystem::path& folder) { return folder; }

Result<int, std::string> call_library_function(const std::filesystem::path& path, const char* name) {
    const HMODULE library =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (library == nullptr) return Failure{error_from_code(GetLastError()).description};
    Result<int, std::string> result = Failure{"it has no function " + std::string(name)};
    if (const FARPROC symbol = GetProcAddress(library, name)) {
        result = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(symbol))();
    }
    FreeLibrary(library);
    return result;
}

Result<void*, std::string> load_library_function(const std::filesystem::path& path, const char* name) {
    const HMODULE library =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (library == nullptr) return Failure{error_from_code(GetLastError()).description};
    if (const FARPROC symbol = GetProcAddress(library, name)) return reinterpret_cast<void*>(symbol);
    FreeLibrary(library);
    return Failure{"it has no function " + std::string(name)};
}

// Windows gives every process the tile state that it saves for processes,
// which the processor's control register alone does not tell: under Wine on
// Linux the register shows the tiles on while the process may not use them.
bool request_amx_tile_permission() {
    constexpr DWORD64 tile_config_and_data = (DWORD64{1} << 17U) | (DWORD64{1} << 18U);
    return (GetEnabledXStateFeatures() & tile_config_and_data) == tile_config_and_data;
}

void stop_on_faults(std::string_view mapped_page_message) {
    in_page_error_line = std::string(mapped_page_message) + " (EXCEPTION_IN_PAGE_ERROR)\n";
    SetUnhandledExceptionFilter(stop_on_unhandled_exception);
    for (const wchar_t* run_time : {L"msvcrt.dll", L"ucrtbase.dll"}) {
        const HMODULE crt = GetModuleHandleW(run_time);
        if (crt == nullptr) continue;
        using SetAbortBehavior = unsigned (*)(unsigned, unsigned);
        using SetSignal = void (*(*)(int, void (*)(int)))(int);
        // Neither the message nor the error report (_WRITE_ABORT_MSG,
        // _CALL_REPORTFAULT); SIGABRT then reaches the handler.
        if (const auto set_abort_behavior = reinterpret_cast<SetAbortBehavior>(
                reinterpret_cast<void*>(GetProcAddress(crt, "_set_abort_behavior")))) {
            set_abort_behavior(0, 0x1 | 0x2);
        }
        if (const auto set_signal =
                reinterpret_cast<SetSignal>(reinterpret_cast<void*>(GetProcAddress(crt, "signal")))) {
            set_signal(SIGABRT, stop_on_engine_abort);
        }
    }
}

HeldFile::~HeldFile() {
    if (handle_ != no_handle) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::optional<std::uint64_t> HeldFile::length() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &size)) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::optional<std::uint64_t> HeldFile::last_written() const {
    FILETIME written{};
    if (!GetFileTime(reinterpret_cast<HANDLE>(handle_), nullptr, nullptr, &written)) return std::nullopt;
    return (std::uint64_t{written.dwHighDateTime} << 32U) | written.dwLowDateTime;
}

std::optional<std::string> HeldFile::own_path() const { return std::nullopt; }

OpenablePath openable_path(std::string path) {
    const std::wstring wide = wide_from_utf8(path.c_str());
    if (wide.empty()) return {std::move(path)};
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {std::move(path)};
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return {std::move(path)};
    auto verbatim = long_path_form(utf16_to_wtf8(units_of(full.data(), length)));
    return {verbatim ? std::move(*verbatim) : std::move(path)};
}

std::optional<HeldFile> hold_model_file(const char* path) {
    const std::wstring wide = wide_from_utf8(path);
    if (wide.empty()) return std::nullopt;
    // Attributes only, never data: opening a named pipe this way does not
    // wait (a busy pipe fails at once) and reads nothing from it; devices
    // (NUL, CON, COM1) are told apart by their type. Every sharing mode is
    // granted so that the held handle locks nothing. BACKUP_SEMANTICS lets
    // a directory open, to be refused below like the rest.
    const HANDLE handle =
        CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    HeldFile file(reinterpret_cast<std::intptr_t>(handle));
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &information)) return std::nullopt;
    const bool is_directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool is_empty = information.nFileSizeHigh == 0 && information.nFileSizeLow == 0;
    if (is_directory || is_empty) return std::nullopt;
    return file;
}

std::optional<std::string> environment_variable(const char* name) {
    std::wstring wide_name;
    for (const char* c = name; *c != '\0'; ++c)
        wide_name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    std::vector<wchar_t> value(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();  // set, and empty
        }
        if (length < value.size()) {
            // An unpaired surrogate is kept as bytes that are not UTF-8, so
            // that whoever reads the value sees that it is not text.
            return utf16_to_wtf8(units_of(value.data(), length));
        }
        value.resize(length);  // the size needed, terminator included
    }
}

std::uint64_t monotonic_nanoseconds() {
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<std::uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    return ticks / frequency * 1'000'000'000ULL + ticks % frequency * 1'000'000'000ULL / frequency;
}

std::optional<unsigned> logical_processor_count() {
    const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    if (count > 0) return static_cast<unsigned>(count);
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    if (info.dwNumberOfProcessors < 1) return std::nullopt;
    return static_cast<unsigned>(info.dwNumberOfProcessors);
}

void release_free_heap_memory() { HeapCompact(GetProcessHeap(), 0); }

namespace {

// The last large block released, kept for the next one of about its size: a
// server copies cells of much the same size request after request, and each
// fresh page costs a fault when it is first touched.
struct SpareBlock {
    std::mutex mutex;
    void* memory = nullptr;
    std::size_t bytes = 0;
};
SpareBlock& spare_block() {
    static SpareBlock spare;
    return spare;
}

}  // namespace

void* allocate_large(std::size_t bytes) {
    SpareBlock& spare = spare_block();
    {
        const std::lock_guard lock(spare.mutex);
        if (spare.memory != nullptr && spare.bytes >= bytes && spare.bytes / 2 <= bytes) {
            return std::exchange(spare.memory, nullptr);
        }
    }
    void* memory = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void release_large(void* memory, std::size_t /*bytes*/) noexcept {
    MEMORY_BASIC_INFORMATION region{};
    const std::size_t bytes = VirtualQuery(memory, &region, sizeof region) != 0 ? region.RegionSize : 0;
    SpareBlock& spare = spare_block();
    const std::lock_guard lock(spare.mutex);
    if (spare.memory != nullptr) VirtualFree(spare.memory, 0, MEM_RELEASE);
    spare.memory = memory;
    spare.bytes = bytes;
}

void terminate_process(int status) { std::_Exit(status); }

}  // namespace debrindle

namespace debrindle {

bool call_guarding_foreign_exceptions(void (*call)(void*), void* context) {
    jmp_buf landing;
    jmp_buf* const outer = foreign_exception_landing;
    if (setjmp(landing) != 0) {
        foreign_exception_landing = outer;
        return false;
    }
    foreign_exception_landing = &landing;
    call(context);
    foreign_exception_landing = outer;
    return true;
}

// Every Windows machine has display adapters (a basic software one at
// least), and telling a GPU apart costs loading DXGI; the Vulkan module is
// always started here.
bool gpu_device_present() { return true; }

}  // namespace debrindle
