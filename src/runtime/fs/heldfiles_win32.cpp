// Windows: the system's own sharing keeps the held-files rule; the file
// services track nothing.
#include "runtime/fs/handles.h"

uint32_t openHandle(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                    OsHandle& handle)
{
    return openUninterrupted(name, access, sharing, kind, handle);
}

void closeHandle(OsHandle handle)
{
    osClose(handle);
}

void closeHeldFiles()
{
}
