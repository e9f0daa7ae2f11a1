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
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace CrashReporter {
namespace {

char g_path[4096];
char g_tempPath[4096 + 8];
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

// Writes message, separator and the symbolised frames to a temporary file, then renames it
// over the pending file: a reader sees the old report or the complete new one. Any failed
// write (a full disk) leaves the old report in place.
void persist(const char* message, size_t messageSize, void* const* frames, int frameCount)
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
        complete = complete && end >= 2 && ::ftruncate(fd, end - 2) == 0;
    }
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

void onFatalSignal(int signal)
{
    void* frames[kMaxCapturedFrames];
    const int count = backtrace(frames, kMaxCapturedFrames);
    char message[32] = "Signal ";
    const size_t size = 7 + formatNumber(signal, message + 7);
    persist(message, size, frames, count);
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

void installHandlers(const QString& pendingFile)
{
    const QByteArray path = QFile::encodeName(pendingFile);
    if (path.isEmpty() || size_t(path.size()) >= sizeof g_path)
        return;
    QDir().mkpath(QFileInfo(pendingFile).absolutePath());
    std::memcpy(g_path, path.constData(), size_t(path.size()) + 1);
    std::memcpy(g_tempPath, path.constData(), size_t(path.size()));
    std::memcpy(g_tempPath + path.size(), ".tmp", 5);

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
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    for (int signal : kSignals)
        sigaction(signal, &action, nullptr);
    std::set_terminate(onTerminate);
    g_installed = true;
}

} // namespace CrashReporter
