// Interrupted calls, the part of the handle rules common to both platforms
// (Windows never reports one).
#include "runtime/fs/handles.h"

#include "runtime/signals/stopsignals.h"

uint32_t openUninterrupted(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                           OsHandle& handle)
{
    uint32_t code;
    while ((code = osOpen(name, access, sharing, kind, handle)) == osInterrupted)
        stopIfRequested();
    return code;
}

uint32_t readHandle(OsHandle handle, void* buffer, uint32_t count, uint32_t& got)
{
    uint32_t code;
    while ((code = osReadBytes(handle, buffer, count, got)) == osInterrupted)
        stopIfRequested();
    return code;
}

uint32_t writeHandle(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    written = 0;
    const auto* bytes = static_cast<const char*>(buffer);
    while (written < count) {
        uint32_t n = 0;
        const uint32_t code = osWriteBytes(handle, bytes + written, count - written, n);
        if (code == osInterrupted) {
            stopIfRequested();
            continue;
        }
        if (code != 0)
            return written != 0 ? 0 : code;
        if (n == 0)
            break;
        written += n;
        if (written < count)
            stopIfRequested();  // a signal may have cut the write short
    }
    return 0;
}
