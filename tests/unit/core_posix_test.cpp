// Linux-only checks of the core layer: the failure report's text for the
// data checks of copyGzToFile and for a work file that cannot take the
// deflated blocks, members read back by a real gzip client, and a request
// to stop that travels up from a service as a code.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "core/gzip/gzstream.h"
#include "core/gzip/gzcopy.h"
#include "core/bytes/filecopy.h"
#include "runtime/failure/failure.h"
#include "runtime/signals/stopsignals.h"
#include "runtime/threads/threads.h"
#include "support/process_posix.h"
#include "support/scratch.h"

using namespace testsupport;

namespace {

class CorePosixTest : public ScratchDirTest {
protected:
    // The failure report goes to standard output; the death test sees
    // standard error, so the child sends one to the other.
    static void reportToStandardError()
    {
        std::fflush(stdout);
        dup2(2, 1);
    }

    void copyOut(const std::string& streamPath, int32_t n)
    {
        reportToStandardError();
        GzStream* s = openGz(streamPath, "r");
        BinaryFile dst;
        assignFile(dst, path("out"));
        createFile(dst, 1);
        checkIo();
        raiseIfFailed(copyGzToFile(s, dst, n));
        std::exit(0);
    }
};

} // namespace

TEST_F(CorePosixTest, CopyGzToFileNamesMissingAndDamagedData)
{
    const Bytes data = mixedBytes<Bytes>(150000, 41);
    writeFile(path("good.gz"), gzipMember(data));
    EXPECT_EXIT(copyOut(path("good.gz"), 150001), ::testing::ExitedWithCode(217),
                "EInOutError : Read past end of file");

    Bytes damaged = gzipMember(data);
    damaged[10] = 0xFF;  // a block of the reserved type: the first read stops, the second fails
    writeFile(path("damaged.gz"), damaged);
    EXPECT_EXIT(copyOut(path("damaged.gz"), 150000), ::testing::ExitedWithCode(217),
                "EInOutError : Invalid input");
}

TEST_F(CorePosixTest, GzipReadsWhatTheLayerWrote)
{
    if (std::system("gzip --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no gzip client on this machine";
    const Bytes data = mixedBytes<Bytes>(300000, 43);
    GzStream* s = openGz(path("out.gz"), "w");
    ASSERT_NE(s, nullptr);
    for (std::size_t at = 0; at < data.size(); at += 100000)
        writeGz(s, data.data() + at, static_cast<int32_t>(std::min<std::size_t>(100000, data.size() - at)));
    ASSERT_EQ(closeGz(s), gzOk);
    const std::string command = "gzip -dc '" + path("out.gz") + "' > '" + path("plain") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile<Bytes>(path("plain")), data);
}

TEST_F(CorePosixTest, AShortWriteWhileWorkersDeflateEndsTheProcessWithDiskFull)
{
    // A file-size limit cuts the work file a little past the first 2 MiB of
    // data, well after the workers started.
    const Bytes data = mixedBytes<Bytes>(6 * 1024 * 1024, 47);
    const rlim_t limit = blockMember(Bytes(data.begin(), data.begin() + 2 * 1024 * 1024)).size();
    const std::string out = path("out.gz");
    const ChildRun run = runInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit size{limit, limit};
        setrlimit(RLIMIT_FSIZE, &size);
        // Each write's result is checked as the packer checks it.
        GzStream* s = openGz(out, "w", 2);
        for (std::size_t at = 0; at < data.size(); at += 100000) {
            writeGz(s, data.data() + at, static_cast<int32_t>(std::min<std::size_t>(100000, data.size() - at)));
            raiseIfFailed(gzFailure(s));
        }
        uint16_t failure = 0;
        closeGz(s, &failure);
        raiseIfFailed(failure);
    });
    EXPECT_TRUE(run.exitedWith(217)) << run.output;
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 2u) << run.output;
    EXPECT_EQ(lines[1], "EInOutError : Disk Full");
}

namespace {

void requestStopSoon(void*)
{
    usleep(100 * 1000);
    kill(getpid(), SIGTERM);  // the thread blocks it: it reaches the main thread
}

} // namespace

// Neither a transfer block nor a call that the signal cut short ends the
// process: each hands the request up as ioStopRequested, and raising that
// takes the stop path (its clean-up, here the exit code 42), not the
// failure report.
TEST_F(CorePosixTest, ARequestToStopTravelsUpAsACode)
{
    writeFile(path("source"), mixedBytes<Bytes>(1000));
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    const ChildRun run = runInChild([&] {
        alarm(5);  // an open that the request did not cut short ends the child here
        holdStopSignals();
        setStopAnswer(stopIfRequested);
        // A FIFO's open waits for a writer until the request cuts it short.
        startThread(requestStopSoon, nullptr);
        BinaryFile fifo;
        assignFile(fifo, path("fifo"));
        openFile(fifo, 1);
        if (ioResult() != ioStopRequested)
            _exit(1);
        // The next transfer block is a checkpoint: nothing is moved.
        BinaryFile src, dst;
        assignFile(src, path("source"));
        openFile(src, 1);
        assignFile(dst, path("copy"));
        createFile(dst, 1);
        const uint16_t code = copyFileToFile(src, dst, 1000);
        closeFile(dst);
        if (code != ioStopRequested || ioResult() != 0)
            _exit(2);
        setStopCleanup([] { _exit(42); });
        raiseIfFailed(code);
        _exit(3);
    });
    EXPECT_TRUE(run.exitedWith(42)) << run.status << run.output;
    EXPECT_EQ(run.output, "");
    EXPECT_TRUE(readFile(path("copy")).empty());
}
