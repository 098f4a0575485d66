# The source files of zop's library, listed one per line: the shared part,
# and the platform half chosen by the target platform (name_win32.cpp or
# name_posix.cpp). Included by the top project and by the fuzz project, so
# that both compile the same list. A new source file is one line here.
#
# Sets ZOP_SOURCES (absolute paths) and ZOP_SOURCE_ROOT (the src directory).
# The stubs add src/app/main.cpp, src/runtime/failure/minimal_cxx_runtime.cpp,
# src/core/gzip/adler32.cpp (which takes the place of zlib's own, linked
# only as an object file) and one of src/runtime/failure/buildkind_*.cpp
# themselves.

get_filename_component(ZOP_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/../src ABSOLUTE)

set(ZOP_SHARED_SOURCES
  app/startup.cpp
  core/bytes/filecopy.cpp
  core/bytes/sha256.cpp
  core/bytes/text.cpp
  core/container/image.cpp
  core/container/records.cpp
  core/gzip/gzcopy.cpp
  core/gzip/gzparallel.cpp
  core/gzip/gzsegments.cpp
  core/gzip/segmentindex.cpp
  core/gzip/gzstream.cpp
  core/launch/appstate.cpp
  core/launch/writerpool.cpp
  core/paths/paths.cpp
  pack/cli.cpp
  pack/options.cpp
  pack/pack.cpp
  pack/progress.cpp
  runtime/base/iocodes.cpp
  runtime/base/terminaltext.cpp
  runtime/failure/failure.cpp
  runtime/fs/files.cpp
  runtime/fs/handles.cpp
  runtime/fs/random.cpp
  runtime/fs/textfile.cpp
  runtime/process/cmdline.cpp
  runtime/process/process.cpp
  runtime/runtime.cpp
  runtime/signals/stopsignals.cpp
  runtime/threads/orderedqueue.cpp
  runtime/threads/threads.cpp
  runtime/workdir/cachedir.cpp
  runtime/workdir/removetree.cpp
  unpack/cache.cpp
  unpack/container.cpp
  unpack/extract.cpp
  unpack/list.cpp
  unpack/run.cpp
  winres/icon.cpp
  winres/rebuild.cpp
  winres/resourcetree.cpp
  winres/versioninfo.cpp
)

set(ZOP_POSIX_SOURCES
  runtime/failure/failure_posix.cpp
  runtime/fs/heldfiles_posix.cpp
  runtime/fs/messagebox_posix.cpp
  runtime/os/cachecalls_posix.cpp
  runtime/os/oscalls_posix.cpp
  runtime/os/oserror_posix.cpp
  runtime/os/removetree_posix.cpp
  runtime/process/cmdline_posix.cpp
  runtime/process/process_posix.cpp
  runtime/signals/stopsignals_posix.cpp
  runtime/threads/threads_posix.cpp
  runtime/workdir/cachedir_posix.cpp
  runtime/workdir/workdir_posix.cpp
)

set(ZOP_WIN32_SOURCES
  runtime/failure/failure_win32.cpp
  runtime/fs/heldfiles_win32.cpp
  runtime/fs/messagebox_win32.cpp
  runtime/os/cachecalls_win32.cpp
  runtime/os/oscalls_win32.cpp
  runtime/os/removetree_win32.cpp
  runtime/process/cmdline_win32.cpp
  runtime/process/process_win32.cpp
  runtime/signals/stopsignals_win32.cpp
  runtime/threads/threads_win32.cpp
  runtime/workdir/cachedir_win32.cpp
  runtime/workdir/workdir_win32.cpp
)

if(WIN32)
  set(ZOP_SOURCES ${ZOP_SHARED_SOURCES} ${ZOP_WIN32_SOURCES})
else()
  set(ZOP_SOURCES ${ZOP_SHARED_SOURCES} ${ZOP_POSIX_SOURCES})
endif()
list(TRANSFORM ZOP_SOURCES PREPEND ${ZOP_SOURCE_ROOT}/)
