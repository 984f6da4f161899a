#include <dlfcn.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <new>

#include "common/platform.hpp"
#include "common/utf8.hpp"

#ifdef DEBRINDLE_SANITIZED_BUILD
#include <sanitizer/common_interface_defs.h>
#endif

namespace debrindle {
namespace {

// Where write_standard_error writes: descriptor 2 until it is redirected.
int own_standard_error = STDERR_FILENO;

int saved_argc = 0;
char** saved_argv = nullptr;

// Set once, before the handler that writes it is installed.
std::string bus_error_line;

std::atomic_flag bus_error_seen = ATOMIC_FLAG_INIT;

// Runs wherever the fault hit, llama.cpp's worker threads included: only
// async-signal-safe calls. Several threads may fault at once; the first
// writes the line and ends the process, the others wait for that end.
// Answers reach standard output only once a generation is over, so none is
// cut off here.
void stop_after_bus_error(int /*signal*/) {
    if (bus_error_seen.test_and_set()) {
        for (;;) ::pause();
    }
    (void)!::write(own_standard_error, bus_error_line.data(), bus_error_line.size());
    ::_exit(101);
}

// A model file can only be a regular file with at least one byte; a
// zero-length one may be a kernel file that waits on read (/proc/kmsg).
bool is_model_file(const struct stat& status) { return S_ISREG(status.st_mode) && status.st_size > 0; }

IoError error_from_errno(int code) {
    return IoError{std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")"};
}

Result<Done, IoError> write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EBADF) return Done{};  // no such stream: count as written
            return Failure{error_from_errno(errno)};
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return Done{};
}

// A standard stream that the process was started without is opened on the
// null device: otherwise the next file opened (the held model file, a GPU
// driver's device) would take its number and receive what is meant for the
// stream. Input from it reads as empty, and writes to it count as done, as
// they would on the missing stream.
void open_missing_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower numbers are open by now, so the new descriptor is `fd`.
        (void)::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
}

}  // namespace

void prepare_process(int argc, char** argv) {
    open_missing_standard_streams();
    saved_argc = argc;
    saved_argv = argv;
    std::signal(SIGPIPE, SIG_IGN);
}

std::size_t command_line_word_count() { return saved_argc > 0 ? static_cast<std::size_t>(saved_argc) : 0; }

std::optional<std::string> command_line_word(std::size_t index) {
    std::string word(saved_argv[index]);
    if (!is_valid_utf8(word)) return std::nullopt;
    return word;
}

Result<std::size_t, IoError> read_standard_input(char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, capacity);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno == EINTR) continue;
        if (errno == EBADF) return std::size_t{0};  // no standard input: empty
        return Failure{error_from_errno(errno)};
    }
}

Result<Done, IoError> write_standard_output(std::string_view bytes) { return write_all(STDOUT_FILENO, bytes); }

Result<Done, IoError> write_standard_error(std::string_view bytes) { return write_all(own_standard_error, bytes); }

void redirect_standard_error_to_null() {
    const int kept = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (kept < 0) return;  // no standard error: nothing to keep quiet
    const int null_device = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_device < 0 || ::dup2(null_device, STDERR_FILENO) < 0) {
        ::close(kept);
        if (null_device >= 0) ::close(null_device);
        return;
    }
    ::close(null_device);
    own_standard_error = kept;
#ifdef DEBRINDLE_SANITIZED_BUILD
    // A sanitizer's report belongs with the helper's own texts.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(kept)));
#endif
}

std::optional<std::filesystem::path> executable_folder() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    return program.parent_path();
}

std::filesystem::path loadable_folder(const std::filesystem::path& folder) {
    if (folder.native().find('$') == std::string::npos) return folder;
    const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return folder;
    return "/proc/self/fd/" + std::to_string(fd);  // open for the rest of the process
}

Result<int, std::string> call_library_function(const std::filesystem::path& path, const char* name) {
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = ::dlerror();
        return Failure{std::string(reason != nullptr ? reason : "dlopen failed")};
    }
    Result<int, std::string> result = Failure{"it has no function " + std::string(name)};
    if (void* symbol = ::dlsym(library, name)) result = reinterpret_cast<int (*)()>(symbol)();
    ::dlclose(library);
    return result;
}

#if defined(__x86_64__)
bool request_amx_tile_permission() {
    constexpr int request_permission = 0x1023;  // ARCH_REQ_XCOMP_PERM
    constexpr int tile_data = 18;               // XFEATURE_XTILEDATA
    return ::syscall(SYS_arch_prctl, request_permission, tile_data) == 0;
}
#endif

void stop_on_faults(std::string_view mapped_page_message) {
    bus_error_line = std::string(mapped_page_message) + " (SIGBUS)\n";
    struct sigaction action {};
    action.sa_handler = stop_after_bus_error;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

HeldFile::~HeldFile() {
    if (handle_ != no_handle) ::close(static_cast<int>(handle_));
}

std::optional<std::uint64_t> HeldFile::length() const {
    struct stat status {};
    if (::fstat(static_cast<int>(handle_), &status) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

std::optional<std::uint64_t> HeldFile::last_written() const {
    struct stat status {};
    if (::fstat(static_cast<int>(handle_), &status) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1'000'000'000U +
           static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
}

std::optional<std::string> HeldFile::own_path() const {
    // Without /proc (a chroot or container that lacks it) the name must do.
    if (::access("/proc/self/fd", X_OK) != 0) return std::nullopt;
    return "/proc/self/fd/" + std::to_string(handle_);
}

OpenablePath openable_path(std::string path) {
    const std::size_t last_slash = path.rfind('/');
    if (path.size() < PATH_MAX || last_slash == std::string::npos) return {std::move(path)};
    // Each name of the folder's path is a path of its own, relative to the
    // folder before it; symbolic links and ".." resolve as in a whole path.
    int folder = ::open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t begin = 0, end = 0; folder >= 0 && begin < last_slash; begin = end + 1) {
        end = path.find('/', begin);
        if (end == begin) continue;
        const int next = ::openat(folder, path.substr(begin, end - begin).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        folder = next;
    }
    // A folder that cannot be opened fails the file's open as the whole path would.
    if (folder < 0) return {std::move(path)};
    return {"/proc/self/fd/" + std::to_string(folder) + path.substr(last_slash), HeldFile(folder)};
}

std::optional<HeldFile> hold_model_file(const char* path) {
    // The path is looked at first, so that a FIFO or a device is never opened.
    struct stat status {};
    if (::stat(path, &status) != 0 || !is_model_file(status)) return std::nullopt;
    // Should the path have become a FIFO since, O_NONBLOCK keeps the open
    // from waiting for a writer, and the second look refuses it.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    HeldFile file(fd);
    if (::fstat(fd, &status) != 0 || !is_model_file(status)) return std::nullopt;
    return file;
}

std::optional<std::string> environment_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::uint64_t monotonic_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(now.tv_nsec);
}

std::optional<unsigned> logical_processor_count() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (count < 1) return std::nullopt;
    return static_cast<unsigned>(count);
}

void release_free_heap_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

namespace {

constexpr std::size_t huge_page_bytes = std::size_t{2} << 20U;

std::size_t whole_huge_pages(std::size_t bytes) {
    return (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
}

}  // namespace

void* allocate_large(std::size_t bytes) {
    const std::size_t mapped = whole_huge_pages(bytes);
    void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(memory, mapped, MADV_HUGEPAGE);  // a hint: without huge pages it is memory all the same
#endif
    return memory;
}

void release_large(void* memory, std::size_t bytes) noexcept { munmap(memory, whole_huge_pages(bytes)); }

void terminate_process(int status) { std::_Exit(status); }

}  // namespace debrindle

namespace debrindle {

bool call_guarding_foreign_exceptions(void (*call)(void*), void* context) {
    call(context);
    return true;
}

bool gpu_device_present() {
    // Every Linux GPU driver with Vulkan support opens one of these; a
    // machine without them has nothing for a Vulkan driver to find.
    for (const char* node : {"/dev/dxg", "/dev/nvidiactl"}) {
        if (::access(node, F_OK) == 0) return true;
    }
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/dev/dri", error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path().filename().string().starts_with("renderD")) return true;
    }
    return false;
}

}  // namespace debrindle
