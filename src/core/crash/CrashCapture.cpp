// Capture of uncaught C++ exceptions and fatal signals into the pending file. Everything a
// handler needs is prepared by installHandlers(); the handlers themselves only use
// async-signal-safe calls (open, write, fsync, ftruncate, rename, unlink, backtrace_symbols_fd).
#include "CrashReporter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <elf.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <ucontext.h>
#include <unistd.h>

namespace CrashReporter {
namespace {

char g_path[4096];
char g_tempPath[4096 + 8];
char g_program[256]; // this program's file name, which the loader does not give
char g_context[512]; // what the run was, written after the frames
bool g_installed = false;
// Its own stack, so that a stack overflow can still be reported.
alignas(16) char g_alternateStack[64 * 1024];

constexpr int kSignals[] = {SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP};

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

struct FrameModule {
    uintptr_t address;
    uintptr_t offset = 0;
    const char* name = nullptr;
    const unsigned char* buildId = nullptr;
    size_t buildIdSize = 0;
};

// The loaded module holding an address, with its build id (the GNU note): what finds the
// debugging information of that very build.
int findModule(dl_phdr_info* info, size_t, void* data)
{
    auto* frame = static_cast<FrameModule*>(data);
    bool holds = false;
    for (int i = 0; i < info->dlpi_phnum && !holds; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        holds = segment.p_type == PT_LOAD && frame->address >= start &&
                frame->address < start + segment.p_memsz;
    }
    if (!holds)
        return 0;
    frame->offset = frame->address - info->dlpi_addr;
    frame->name = info->dlpi_name && info->dlpi_name[0] ? info->dlpi_name : g_program;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE)
            continue;
        const auto* at = reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr);
        const unsigned char* end = at + segment.p_memsz;
        while (at + sizeof(ElfW(Nhdr)) <= end) {
            const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(at);
            const unsigned char* name = at + sizeof(ElfW(Nhdr));
            const unsigned char* desc = name + ((note->n_namesz + 3) & ~3u);
            if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
                std::memcmp(name, "GNU", 4) == 0 && desc + note->n_descsz <= end) {
                frame->buildId = desc;
                frame->buildIdSize = note->n_descsz;
                return 1;
            }
            at = desc + ((note->n_descsz + 3) & ~3u);
        }
    }
    return 1;
}

size_t appendHex(char* out, uintptr_t value)
{
    char digits[2 * sizeof value];
    size_t n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 15];
        value >>= 4;
    } while (value);
    for (size_t i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    return n;
}

// One line a frame: "BUILD-ID OFFSET MODULE", "-" for an unknown build id, " pc" after the
// frame whose address is where the fault was (the others are return addresses).
bool writeFrames(int fd, void* const* frames, int count, uintptr_t faultAddress)
{
    for (int i = 0; i < count; ++i) {
        FrameModule frame{reinterpret_cast<uintptr_t>(frames[i])};
        if (!dl_iterate_phdr(findModule, &frame))
            continue;
        char line[600];
        size_t n = 0;
        for (size_t b = 0; b < frame.buildIdSize && b < 64; ++b) {
            line[n++] = "0123456789abcdef"[frame.buildId[b] >> 4];
            line[n++] = "0123456789abcdef"[frame.buildId[b] & 15];
        }
        if (n == 0)
            line[n++] = '-';
        line[n++] = ' ';
        line[n++] = '0';
        line[n++] = 'x';
        n += appendHex(line + n, frame.offset);
        line[n++] = ' ';
        const char* base = std::strrchr(frame.name, '/');
        base = base ? base + 1 : frame.name;
        for (; *base && n < sizeof line - 8; ++base)
            line[n++] = *base == ' ' || *base == '\n' ? '_' : *base;
        if (frame.address == faultAddress) {
            std::memcpy(line + n, " pc", 3);
            n += 3;
        }
        line[n++] = '\n';
        if (!writeAll(fd, line, n))
            return false;
    }
    return true;
}

// Writes message, separator and the symbolised frames to a temporary file, then renames it
// over the pending file: a reader sees the old report or the complete new one. Any failed
// write (a full disk) leaves the old report in place.
void persist(const char* message, size_t messageSize, void* const* frames, int frameCount,
             uintptr_t faultAddress = 0)
{
    const int fd = ::open(g_tempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    bool complete = writeAll(fd, message, messageSize) && writeAll(fd, "\n---\n", 5);
    if (complete && frameCount > 0) {
        // backtrace_symbols_fd says nothing of failed writes: a last byte written after it
        // shows that the file could still grow, so none of its lines was lost.
        backtrace_symbols_fd(frames, frameCount, fd);
        complete = writeAll(fd, "\n", 1);
        // One frame a line, without a line feed after the last (nor the check byte).
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        complete = complete && end >= 2 && ::ftruncate(fd, end - 2) == 0 &&
                   ::lseek(fd, end - 2, SEEK_SET) == end - 2;
    }
    // Then what a service needs to name the functions (each frame's build and offset) and what
    // the run was; earlier readers take the first two sections only.
    complete = complete && writeAll(fd, "\n---\n", 5) &&
               writeFrames(fd, frames, frameCount, faultAddress) && writeAll(fd, "---\n", 4) &&
               writeAll(fd, g_context, std::strlen(g_context));
    complete = ::fsync(fd) == 0 && complete;
    complete = ::close(fd) == 0 && complete;
    if (complete)
        ::rename(g_tempPath, g_path);
    else
        ::unlink(g_tempPath);
}

// Decimal text of a small positive number, without the C library's formatting.
size_t formatNumber(int value, char* out)
{
    char digits[12];
    size_t n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0 && n < sizeof digits);
    for (size_t i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    return n;
}

// Where the fault was: the interrupted instruction, not a return address.
uintptr_t faultAddress(void* context)
{
    const auto* user = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return user ? uintptr_t(user->uc_mcontext.gregs[REG_RIP]) : 0;
#elif defined(__aarch64__)
    return user ? uintptr_t(user->uc_mcontext.pc) : 0;
#else
    (void)user;
    return 0;
#endif
}

void onFatalSignal(int signal, siginfo_t*, void* context)
{
    void* frames[kMaxCapturedFrames];
    const int count = backtrace(frames, kMaxCapturedFrames);
    char message[32] = "Signal ";
    const size_t size = 7 + formatNumber(signal, message + 7);
    persist(message, size, frames, count, faultAddress(context));
    // End by the same signal, with the system's own disposition (core dump, exit status).
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

void onTerminate()
{
    static bool reporting = false;
    if (!reporting) {
        reporting = true;
        std::string message = "Exception: ";
        std::string reason;
        if (const std::type_info* type = abi::__cxa_current_exception_type()) {
            int status = 0;
            char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
            message += status == 0 && demangled ? demangled : type->name();
            std::free(demangled);
            try {
                if (std::exception_ptr current = std::current_exception())
                    std::rethrow_exception(current);
            } catch (const std::exception& e) {
                reason = e.what() ? e.what() : "";
            } catch (...) {
            }
        } else {
            message += "std::terminate";
        }
        message += " : " + reason;
        void* frames[kMaxCapturedFrames];
        const int count = backtrace(frames, kMaxCapturedFrames);
        persist(message.data(), message.size(), frames, count);
        // The abort below must not replace this more telling report with "Signal 6".
        std::signal(SIGABRT, SIG_DFL);
    }
    std::abort();
}

} // namespace

void setRunContext(const QString& context)
{
    // Built apart and copied over in one go: it changes once or twice a run, and a crash
    // during the copy reads a mixed line at worst, never past the buffer's end.
    const QByteArray bytes = context.toUtf8().left(int(sizeof g_context) - 1);
    char fresh[sizeof g_context] = {};
    std::memcpy(fresh, bytes.constData(), size_t(bytes.size()));
    std::memcpy(g_context, fresh, sizeof g_context);
}

void installHandlers(const QString& pendingFile)
{
    const QByteArray path = QFile::encodeName(pendingFile);
    if (path.isEmpty() || size_t(path.size()) >= sizeof g_path)
        return;
    QDir().mkpath(QFileInfo(pendingFile).absolutePath());
    std::memcpy(g_path, path.constData(), size_t(path.size()) + 1);
    std::memcpy(g_tempPath, path.constData(), size_t(path.size()));
    std::memcpy(g_tempPath + path.size(), ".tmp", 5);

    char self[sizeof g_program] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const char* name = length > 0 ? std::strrchr(self, '/') : nullptr;
    std::strncpy(g_program, name ? name + 1 : "?", sizeof g_program - 1);

    // backtrace() loads its unwinder on first use; do that now, outside any handler.
    void* warmUp[2];
    backtrace(warmUp, 2);

    if (!g_installed) {
        stack_t alternate{};
        alternate.ss_sp = g_alternateStack;
        alternate.ss_size = sizeof g_alternateStack;
        sigaltstack(&alternate, nullptr);
    }
    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK | SA_RESETHAND | SA_SIGINFO;
    for (int signal : kSignals)
        sigaction(signal, &action, nullptr);
    std::set_terminate(onTerminate);
    g_installed = true;
}

} // namespace CrashReporter
