#pragma once
// Everything that touches the operating system, behind one small interface.
// Each platform has its own implementation file (platform_posix.cpp,
// platform_windows.cpp); the rest of the helper is platform-free.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/result.hpp"

namespace debrindle {

// A failed read or write on a standard stream, described by the system.
struct IoError {
    std::string description;
};

// Called once at start with main's arguments, before anything opens a file:
// opens a standard stream the process was started without on the null device
// where the system would give its number to the next file opened (POSIX),
// keeps the command line for the scan, makes writes to a closed pipe fail
// with an error instead of killing the process, puts the standard streams
// into binary mode where the platform distinguishes it, and keeps the system
// from showing dialogs for the process (Windows).
void prepare_process(int argc, char** argv);

// The command-line words, converted to UTF-8 one at a time, so that a word
// after the one that decides the run mode is never looked at.
std::size_t command_line_word_count();
// The word at `index` as UTF-8 text, or nothing when it cannot be converted.
std::optional<std::string> command_line_word(std::size_t index);

// Reads up to `capacity` bytes of standard input. Zero bytes means the input
// has ended; a missing standard input reads as ended.
Result<std::size_t, IoError> read_standard_input(char* buffer, std::size_t capacity);

// Writes all bytes. Writes to a missing standard output count as done.
Result<Done, IoError> write_standard_output(std::string_view bytes);
// Writes to the standard error the process was started with, also after
// redirect_standard_error_to_null.
Result<Done, IoError> write_standard_error(std::string_view bytes);

// Points the standard error that every library in the process writes to
// (its handle or descriptor, and the C run-time's stream) at the null
// device, and keeps the original for write_standard_error alone. The engine
// writes to standard error by more roads than its log callback (the C++
// streams, its GPU drivers), and all of them go quiet this way.
void redirect_standard_error_to_null();

// The folder that holds the running program, or nothing if the system
// cannot tell.
std::optional<std::filesystem::path> executable_folder();

// A path to `folder` that the system's loader takes as it is, for loading
// libraries from it. glibc's dlopen expands $ORIGIN, $LIB and $PLATFORM in
// the path it is given, so a folder whose path holds a "$" is named through
// a descriptor of it that stays open (/proc/self/fd/N); libraries loaded
// from there still find their own dependencies beside them, since $ORIGIN is
// then that path too. Any other folder, and every folder on Windows, is
// given back as it is.
std::filesystem::path loadable_folder(const std::filesystem::path& folder);

// Loads the shared library at `path` (its own dependencies found beside it or
// in the system's folders), calls its exported `int name(void)` and unloads
// it again. Fails with the system's reason when the library cannot be loaded,
// or when it lacks the function.
Result<int, std::string> call_library_function(const std::filesystem::path& path, const char* name);

#ifdef _WIN32
// Loads the shared library at `path` for the rest of the process and gives
// its exported function `name`, or the system's reason why not. (Elsewhere
// ggml loads the engine's modules itself.)
Result<void*, std::string> load_library_function(const std::filesystem::path& path, const char* name);
#endif

// Asks the system to let this process use the AMX tile registers that the
// processor may report, and says whether it may (Linux lets a process use
// them only once it has asked; Windows whenever it saves their state for
// processes). x86-64 only.
bool request_amx_tile_permission();

// From now on the faults that would end the process without a word end it
// with status 101 after one line on standard error:
// - reading a mapped page that its file no longer holds, or that the storage
//   fails to deliver (a model file cut short while in use, a failing disk or
//   network share): SIGBUS on POSIX, EXCEPTION_IN_PAGE_ERROR on Windows. The
//   line is `mapped_page_message` and the fault's name in parentheses.
// - on Windows, any other exception that nothing handles (a line with its
//   code) and an abort in the engine's C run time, never with a dialog or
//   the system's error report.
void stop_on_faults(std::string_view mapped_page_message);

// A model file kept open for as long as the model loaded from it lives, so
// that its length can be read again later through the file itself, whatever
// has become of its path (on POSIX also the folder an OpenablePath names a
// file through). Closed exactly once, when it goes.
class HeldFile {
public:
    explicit HeldFile(std::intptr_t handle) : handle_(handle) {}
    HeldFile(HeldFile&& other) noexcept : handle_(std::exchange(other.handle_, no_handle)) {}
    HeldFile& operator=(HeldFile&&) = delete;
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile();

    // The file's length now, or nothing when the system cannot tell.
    std::optional<std::uint64_t> length() const;
    // When its contents were last written, in the system's own units, or
    // nothing when the system cannot tell.
    std::optional<std::uint64_t> last_written() const;
    // A path that opens this very file whatever has become of the name it
    // was opened by (Linux: /proc/self/fd/N), or nothing where the system
    // has none (Windows).
    std::optional<std::string> own_path() const;

private:
    // A descriptor (POSIX) or a HANDLE (Windows); both use -1 for none.
    static constexpr std::intptr_t no_handle = -1;
    std::intptr_t handle_;
};

// A file path (UTF-8) in the form that this system's file functions open
// whatever its length, with what that form needs kept open while it is used.
struct OpenablePath {
    std::string path;
    std::optional<HeldFile> folder{};

    const char* c_str() const { return path.c_str(); }
};

// The openable form of `path`, for the engine and hold_model_file: on
// Windows, a path whose full form reaches MAX_PATH becomes that full form,
// verbatim (long_path_form); on POSIX, a path of PATH_MAX bytes or more,
// which no system call takes whole, names the file in its folder, opened one
// name at a time and held (/proc/self/fd/N/NAME). Any other path stays as it
// is.
OpenablePath openable_path(std::string path);

// Opens `path` (NUL-terminated UTF-8) when it names a regular file that is
// not empty. Anything else is refused at once and never read: a missing
// path, a directory, a FIFO or named pipe (whose open would wait for a
// writer), a socket, a device.
std::optional<HeldFile> hold_model_file(const char* path);

// Whether the system shows a GPU that a Vulkan driver could drive: on Linux
// a DRM render node, a node of NVIDIA's own driver, or WSL2's /dev/dxg;
// on Windows a display adapter that is not a software one.
bool gpu_device_present();

// Runs `call(context)` and gives true. On Windows a C++ exception of another
// run time (llama.cpp's DLLs are MSVC-built, the helper is not) cannot be
// caught by the helper's `catch`; one that nothing in those DLLs catches
// unwinds to here instead, and the result is false. Elsewhere such an
// exception is an ordinary C++ exception and this only calls.
bool call_guarding_foreign_exceptions(void (*call)(void*), void* context);

template <typename Call>
bool call_guarding_foreign_exceptions(Call& call) {
    return call_guarding_foreign_exceptions([](void* context) { (*static_cast<Call*>(context))(); }, &call);
}

// The value of an environment variable as bytes, or nothing when unset.
std::optional<std::string> environment_variable(const char* name);

// Monotonic clock reading in nanoseconds since an arbitrary start.
std::uint64_t monotonic_nanoseconds();

// The number of logical processors the system reports, if it can tell.
std::optional<unsigned> logical_processor_count();

// Hands the heap's free memory back to the system. The C run time keeps
// freed blocks for reuse, and glibc raises its thresholds for keeping them
// as large blocks come and go; a server that loads model after model would
// otherwise hold more and more of them.
void release_free_heap_memory();

// Memory for a large buffer that is filled at once (a context's cells copied
// out): on Linux pages of its own, with huge pages asked for, since taking
// its 4 KiB pages one fault at a time costs several times the copy; elsewhere
// the C++ heap. Throws std::bad_alloc when there is none.
void* allocate_large(std::size_t bytes);
void release_large(void* memory, std::size_t bytes) noexcept;

// Ends the process at once with the given status, without running any
// further destructors.
[[noreturn]] void terminate_process(int status);

}  // namespace debrindle
