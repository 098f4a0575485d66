// The rules the file services keep on top of the OS-call table
// (runtime/os/oscalls.h): within the process a regular file held open is
// never opened for writing or created over a second time (Windows' sharing
// does that itself, Linux keeps a table of the files held open), and a call
// that a signal cut short is tried again, unless a request to stop is
// pending: then it returns osInterrupted, and the request travels up as a
// result (nothing here ends the process).
// Every open and close of the file services goes through here; worker
// threads may call these too (a stop request is answered on the main thread
// only, see stopsignals.h).
#pragma once
#include <cstdint>
#include <string>
#include "runtime/os/oscalls.h"

// osOpen under the held-files rule: a sharing violation when the file is
// a regular file this process holds open and access asks for writing.
uint32_t openHandle(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                    OsHandle& handle);
// osClose, the file forgotten as held.
void closeHandle(OsHandle handle);
// Closes every file the held-files rule keeps track of and forgets them: for
// a process that runs the program's code again after a failure left files
// open.
void closeHeldFiles();

// osOpen tried again for as long as a signal cuts it short (a FIFO's open
// waits for its other end).
uint32_t openUninterrupted(const std::string& name, uint32_t access, uint32_t sharing, OsOpenKind kind,
                           OsHandle& handle);
// One read that a signal does not cut short.
uint32_t readHandle(OsHandle handle, void* buffer, uint32_t count, uint32_t& got);
// Writes count bytes, the rest after a short write too, so that only a real
// failure ends it early: a failure after some bytes were written is no
// failure, the count tells. A request to stop that cut it short returns
// osInterrupted, whatever the count.
uint32_t writeHandle(OsHandle handle, const void* buffer, uint32_t count, uint32_t& written);
