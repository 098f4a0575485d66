// A small pool of writer threads that create and fill files while the main
// thread inflates the entry stream. The main thread queues files in stream
// order and hands each one's bytes on in buffers; every file is created,
// written and closed by one writer. The buffers are allocated once, when
// the pool starts: memory does not grow with the payload.
//
// Writers never touch the process-wide failure state. A writer that fails
// records the I/O code with the file's place in the stream and goes on with
// the next file; the main thread asks for the first failure in stream order
// and raises it itself, after the writers have finished what was queued.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

struct WriterPool;

// Starts up to `writers` threads; null when not one could be started (the
// caller then writes on its own thread).
WriterPool* startWriterPool(int writers);

// Queues a file to create (a name as createFile takes it) as the entry at
// `position` in the stream. A queued file with a name that could stand for
// the same file is finished first. The writers see the file with its first
// bytes (passBytes) or its end (endFile).
[[nodiscard]] uint16_t queueFile(WriterPool* pool, std::string name, int32_t position);
// A free buffer for the next bytes of the file queued last: waits for one.
[[nodiscard]] uint16_t fileBuffer(WriterPool* pool, unsigned char*& bytes, int32_t& capacity);
// Hands the first count bytes of the buffer that fileBuffer gave on to the
// file's writer; `last`: the file has all its bytes with these.
void passBytes(WriterPool* pool, int32_t count, bool last);
// The file queued last has all its bytes (needed only when no passBytes
// said so).
void endFile(WriterPool* pool);

// Waits until no queued file that is still being written has a name that
// could stand for the same file or directory as name.
[[nodiscard]] uint16_t waitForName(WriterPool* pool, std::string_view name);

// The writers drop what is queued and stop after the buffer in hand; returns
// once they have (or when one is held up in a call that does not return).
// For the way out on a request to stop: the pool is not released.
void abandonWriterPool(WriterPool* pool);

// Every wait of the main thread in these calls is woken by a request to
// stop as well: the writers are then abandoned (abandonWriterPool) and the
// call returns ioStopRequested (the calls that wait return 0 otherwise).
//
// Misuse that would otherwise wait for ever (queueFile while the file
// queued last has neither bytes nor its end, a second fileBuffer before
// passBytes) is caught by the checks of the debug and sanitizer builds.

// True once a writer has failed; does not wait.
bool writerFailed(WriterPool* pool);
// Waits until every queued file is finished; the I/O code of the first
// failed file in stream order, 0 when none failed.
[[nodiscard]] uint16_t finishQueuedFiles(WriterPool* pool);
// Ends a file still waiting for bytes with what it got, then
// finishQueuedFiles; then the threads end and the pool is released. After
// ioStopRequested the pool is abandoned instead, not released: the process
// is on its way out.
[[nodiscard]] uint16_t stopWriterPool(WriterPool* pool);
