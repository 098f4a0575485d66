// Linux: the regular files this process holds open, by device and inode.
// Windows refuses to open for writing a file that the process holds open
// without write sharing (a sharing violation), and the program relies on
// that: no entry of a packed file can replace the stream being read or a
// file being written. Linux has no such rule, so the file services keep it
// themselves for their own opens.
#include <pthread.h>

#include "runtime/fs/handles.h"

namespace {

// All zeros is a free slot, so that the table takes no room in the file.
struct HeldFile {
    bool used = false;
    OsHandle handle = 0;
    OsFileIdentity identity;
};
HeldFile heldFiles[64];
// Worker threads create and close files too: the table changes under this
// lock only.
pthread_mutex_t heldFilesLock = PTHREAD_MUTEX_INITIALIZER;

bool isHeld(const OsFileIdentity& identity)
{
    for (const HeldFile& held : heldFiles)
        if (held.used && held.identity.volume == identity.volume &&
            held.identity.index == identity.index)
            return true;
    return false;
}

bool rememberHeld(OsHandle handle, const OsFileIdentity& identity)
{
    for (HeldFile& held : heldFiles) {
        if (!held.used) {
            held = {true, handle, identity};
            return true;
        }
    }
    return false;
}

// Under the lock: refuses a held file for writing, cuts a file to be
// created over (only one with content: cutting an empty new file makes
// some file systems write it out on close), and remembers it.
uint32_t admit(OsHandle handle, uint32_t access, bool truncate, const OsHandleFacts& facts)
{
    if ((access & osWrite) != 0 && isHeld(facts.identity))
        return osSharingViolation;
    if (truncate && !facts.empty)
        if (const uint32_t code = osTruncate(handle); code != 0)
            return code;
    return rememberHeld(handle, facts.identity) ? 0 : osTooManyOpenFiles;
}

} // namespace

// A file to be created over is opened as it is and cut only once it is
// known not to be one held open.
uint32_t openHandle(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                    OsHandle& handle)
{
    const bool truncate = kind == OsOpenKind::createAlways;
    OsHandle opened = noHandle;
    uint32_t code = openUninterrupted(name, access, sharing, truncate ? OsOpenKind::openOrCreate : kind, opened);
    if (code != 0)
        return code;
    OsHandleFacts facts;
    code = osDescribeHandle(opened, facts);
    if (code == 0 && facts.regular) {
        pthread_mutex_lock(&heldFilesLock);
        code = admit(opened, access, truncate, facts);
        pthread_mutex_unlock(&heldFilesLock);
    }
    if (code != 0) {
        osClose(opened);
        return code;
    }
    handle = opened;
    return 0;
}

void closeHandle(OsHandle handle)
{
    pthread_mutex_lock(&heldFilesLock);
    for (HeldFile& held : heldFiles)
        if (held.used && held.handle == handle)
            held = HeldFile{};
    pthread_mutex_unlock(&heldFilesLock);
    osClose(handle);
}

void closeHeldFiles()
{
    for (HeldFile& held : heldFiles) {
        if (held.used)
            osClose(held.handle);
        held = HeldFile{};
    }
}
