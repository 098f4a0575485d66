#include "runtime/base/iocodes.h"

uint16_t ioError = 0;

[[gnu::noinline]] uint16_t ioResult()
{
    const uint16_t code = ioError;
    ioError = 0;
    return code;
}

uint16_t translateOsError(uint32_t osCode)
{
    if (osCode == osInterrupted)
        return ioStopRequested;
    // The device errors keep their order in a range of their own.
    if (osCode >= osWriteProtect && osCode <= osGenFailure)
        return static_cast<uint16_t>(osCode - osWriteProtect + ioFirstDeviceError);
    // What stands in the way of a file being replaced or removed reads as
    // access denied.
    if (osCode == osSharingViolation || osCode == osDirNotEmpty || osCode == osAlreadyExists)
        return ioAccessDenied;
    return static_cast<uint16_t>(osCode);
}
