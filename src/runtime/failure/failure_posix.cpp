// Linux side of the failure path: the report goes to standard output,
// processor faults arrive as signals on an alternate stack.
#include <signal.h>
#include <sys/resource.h>
#include <ucontext.h>
#include <unistd.h>

#include "runtime/failure/failure.h"
#include "runtime/failure/failure_platform.h"
#include "runtime/os/oscalls.h"

// Set by the C library at start-up: the top of the main thread's stack.
extern "C" void* __libc_stack_end;

namespace {

constexpr int faultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

// The handler runs here, so that a fault caused by an exhausted stack can
// still be reported.
alignas(16) char alternateStack[65536];

// Only handlers of our own are removed: a process that never installed them
// (a test, a fuzz target) keeps whatever it has.
bool handlersInstalled = false;

FaultClass faultClass(int signal)
{
    switch (signal) {
    case SIGFPE:
        return {"EDivByZero", "Division by zero"};
    default: // SIGSEGV, SIGBUS, SIGILL
        return {"EAccessViolation", "Access violation"};
    }
}

void onFault(int signal, siginfo_t* info, void* context)
{
    const FaultClass fault = faultClass(signal);
    const void* address = info->si_addr;
    const void* frame = nullptr;
#if defined(__x86_64__)
    const auto& registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
    address = reinterpret_cast<const void*>(registers[REG_RIP]);
    frame = reinterpret_cast<const void*>(registers[REG_RBP]);
#elif defined(__i386__)
    const auto& registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
    address = reinterpret_cast<const void*>(registers[REG_EIP]);
    frame = reinterpret_cast<const void*>(registers[REG_EBP]);
#else
    (void)context;
#endif
    reportAndTerminate(fault.className, fault.message, address, frame);
}

} // namespace

// The report is on its way out: a signal that cuts a write short is no
// request to answer any more.
void writeReportBytes(const char* bytes, std::size_t count)
{
    const OsHandle output = osStandardHandle(1);
    while (count != 0) {
        uint32_t written = 0;
        const uint32_t code = osWriteBytes(output, bytes, static_cast<uint32_t>(count), written);
        if (code == osInterrupted)
            continue;
        if (code != 0 || written == 0)
            return;
        bytes += written;
        count -= written;
    }
}

bool reportGoesToTerminal()
{
    return osIsTerminal(osStandardHandle(1));
}

void closeReportFiles()
{
}

// Bounds of the executable's code, placed by the linker.
extern "C" char __executable_start[];
extern "C" char etext[];

bool isProgramCode(const void* address)
{
    const auto at = reinterpret_cast<uintptr_t>(address);
    return at >= reinterpret_cast<uintptr_t>(__executable_start) && at < reinterpret_cast<uintptr_t>(etext);
}

StackBounds stackBounds()
{
    StackBounds bounds;
    bounds.high = reinterpret_cast<uintptr_t>(__libc_stack_end);
    // The stack may grow down to its size limit; an unlimited one is taken
    // as 1 GiB, far more than this program ever uses.
    uintptr_t size = uintptr_t{1} << 30;
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < size)
        size = static_cast<uintptr_t>(limit.rlim_cur);
    bounds.low = bounds.high > size ? bounds.high - size : 0;
    return bounds;
}

void installFaultHandlers()
{
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);

    struct sigaction action{};
    action.sa_sigaction = onFault;
    // SA_NODEFER: a fault inside the report reaches the handler again,
    // which then ends the process at once, instead of the kernel killing it.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : faultSignals)
        sigaction(signal, &action, nullptr);
    handlersInstalled = true;

    // A write to a pipe whose reader has gone ("--zop-list | head -1") then
    // fails like any other write and takes the failure road, instead of the
    // signal ending the process without a report.
    signal(SIGPIPE, SIG_IGN);

    installOutOfMemoryHandler();
}

void removeFaultHandlers()
{
    if (!handlersInstalled)
        return;
    handlersInstalled = false;
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : faultSignals)
        sigaction(signal, &action, nullptr);
}

void exitProcess(uint32_t exitCode)
{
    _exit(static_cast<int>(exitCode & 0xFF));
}
