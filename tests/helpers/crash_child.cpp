// Arms the crash capture on PENDING, then dies the way MODE says: the other half of the crash
// tests, which look at how it ended and what it left behind.
#include "crash/CrashReporter.h"

#include <QString>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {
struct NoMessage {};
} // namespace

#ifdef VELMORA_ANOTHER_BUILD
// Another build of the same fault: other code before it, so other offsets and build id.
[[gnu::noinline]] int crashChildAnotherBuild(int n)
{
    return n * 3 + 1;
}
#endif

// Exported (not in an anonymous namespace) so that the captured frames carry the name.
// Deep enough to need more than 30 frames, and not optimised into a loop.
[[gnu::noinline]] int crashChildRecurse(int depth)
{
    volatile char pad[512];
    pad[0] = char(depth);
    return depth > 0 ? crashChildRecurse(depth - 1) + pad[0] : *static_cast<volatile int*>(nullptr);
}

#pragma GCC diagnostic ignored "-Winfinite-recursion"
[[gnu::noinline]] int crashChildOverflow(int n)
{
    volatile char pad[4096];
    pad[n % 4096] = 1;
    return crashChildOverflow(n + 1) + pad[0];
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    CrashReporter::installHandlers(QString::fromLocal8Bit(argv[2]));
    const char* mode = argv[1];
    if (!std::strcmp(mode, "segv"))
        return crashChildRecurse(40);
    if (!std::strcmp(mode, "abort"))
        std::abort();
    if (!std::strcmp(mode, "overflow"))
        return crashChildOverflow(0);
    if (!std::strcmp(mode, "exception"))
        throw std::runtime_error("boom");
    if (!std::strcmp(mode, "exception-without-message"))
        throw NoMessage{};
    if (!std::strcmp(mode, "fpe")) {
        // Not 1 / x: compilers fold that into a comparison that never traps.
        volatile int zero = 0, seven = 7;
        return seven / zero;
    }
    return 3;
}
