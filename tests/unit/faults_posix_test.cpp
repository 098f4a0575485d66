// Packing while the operating system fails, brought about through the table
// of OS calls in a forked child (the failure path ends the process): the
// whole road from the failed call to the report and the removal of what was
// half made, without root or a file system mounted for the purpose.
#include <gmock/gmock.h>

#include "core/launch/appstate.h"
#include "runtime/threads/threads.h"
#include "support/scratch.h"
#include "pack/pack.h"
#include "support/process_posix.h"
#include "runtime/process/cmdline_platform.h"
#include "runtime/os/oscalls.h"
#include "runtime/runtime.h"

namespace {

using namespace testsupport;

// Set in the child only.
OsCalls native;
uint32_t room = 0;
uint32_t faultCode = 0;

// Writes outside the standard handles use up room; past it they are cut
// short (faultCode 0) or fail with faultCode.
uint32_t writeToFillingDisk(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    written = 0;
    if (isStandardHandle(handle))
        return native.writeBytes(handle, buffer, count, written);
    if (count > room && faultCode != 0)
        return faultCode;
    const uint32_t code = native.writeBytes(handle, buffer, count < room ? count : room, written);
    room -= written;
    return code;
}

// Files can be created in the work directory only.
uint32_t denyCreatingOutside(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                             OsHandle& handle)
{
    const bool creates = kind == OsOpenKind::createAlways || kind == OsOpenKind::createNew ||
                         kind == OsOpenKind::openOrCreate;
    if (creates && name.find("/work/") == std::string::npos)
        return osAccessDenied;
    return native.open(name, access, sharing, kind, handle);
}

class PackFaultTest : public testsupport::ScratchDirTest {
protected:
    // Packs a megabyte that deflate cannot shrink into "out" with the table
    // changed by replace; returns the report's exception line.
    template <typename Replace>
    std::string packWith(Replace replace)
    {
        std::string big;
        uint32_t x = 99;
        for (int i = 0; i < (1 << 20); ++i) {
            x = x * 1664525u + 1013904223u;
            big += static_cast<char>(x >> 24);
        }
        writeFile("big.bin", big);
        writeFile("recipe.zop", "f big.bin\n");
        // The packer takes only a bare stub: the real one.
        writeFile("stub", readFile(ZOP_LINUX_STUB));
        const std::string dir = dir_.string();
        std::filesystem::create_directory(dir_ / "work");
        const ChildRun run = runInChild([&] {
            resetRuntimeState();
            unsetenv("ZOP_EXE");
            const std::vector<std::string> arguments = {dir + "/stub", "recipe.zop", "out"};
            AppState state;
            state.tempDir = dir;
            state.workDir = dir + "/work";
            state.workFile = state.workDir + "/zop.gz";
            native = osCalls;
            replace();
            packMode(Launch{arguments, threadCount()}, state);
        });
        EXPECT_TRUE(run.exitedWith(217)) << run.output;
        EXPECT_FALSE(exists("out")) << "no output after a failure";
        const auto lines = run.lines();
        return lines.size() >= 2 ? lines[1] : run.output;
    }
};

TEST_F(PackFaultTest, DiskThatFillsUpWhileWritingTheWorkFileEndsWithTheSystemsCode)
{
    EXPECT_EQ(packWith([] {
                  room = 65536;
                  faultCode = osDiskFull;
                  osCalls.writeBytes = writeToFillingDisk;
              }),
              "Exception : Unknown Run-Time error : 112");
}

TEST_F(PackFaultTest, ShortWriteEndsWithDiskFull)
{
    EXPECT_EQ(packWith([] {
                  room = 65536;
                  faultCode = 0;
                  osCalls.writeBytes = writeToFillingDisk;
              }),
              "EInOutError : Disk Full");
}

TEST_F(PackFaultTest, OutputWhereAccessIsDeniedEndsWithAccessDenied)
{
    EXPECT_EQ(packWith([] { osCalls.open = denyCreatingOutside; }), "EInOutError : Access denied");
}

} // namespace
