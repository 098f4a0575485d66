// Interrupted calls, the part of the handle rules common to both platforms
// (Windows never reports one).
#include "runtime/fs/handles.h"

#include "runtime/signals/stopsignals.h"

namespace {

// A call cut short by a signal is tried again unless the signal asked the
// process to stop: then the interruption is the call's result.
bool tryAgainAfter(uint32_t code)
{
    return code == osInterrupted && pendingStop() == 0;
}

} // namespace

uint32_t openUninterrupted(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                           OsHandle& handle)
{
    uint32_t code;
    while (tryAgainAfter(code = osOpen(name, access, sharing, kind, handle))) {
    }
    return code;
}

uint32_t readHandle(OsHandle handle, void* buffer, uint32_t count, uint32_t& got)
{
    uint32_t code;
    while (tryAgainAfter(code = osReadBytes(handle, buffer, count, got))) {
    }
    return code;
}

uint32_t writeHandle(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    written = 0;
    const auto* bytes = static_cast<const char*>(buffer);
    while (written < count) {
        uint32_t n = 0;
        const uint32_t code = osWriteBytes(handle, bytes + written, count - written, n);
        if (tryAgainAfter(code))
            continue;
        if (code == osInterrupted)
            return code;
        if (code != 0)
            return written != 0 ? 0 : code;
        if (n == 0)
            break;
        written += n;
        // A signal may have cut the write short.
        if (written < count && pendingStop() != 0)
            return osInterrupted;
    }
    return 0;
}
