# The source files of zop's library, listed one per line: the shared part,
# and the platform half chosen by the target platform (name_win32.cpp or
# name_posix.cpp). Included by the top project and by the fuzz project, so
# that both compile the same list. A new source file is one line here.
#
# Sets ZOP_SOURCES (absolute paths) and ZOP_SOURCE_ROOT (the src directory).
# The stubs add src/app/main.cpp, src/runtime/minimal_cxx_runtime.cpp and
# one of src/runtime/buildkind_*.cpp themselves.

get_filename_component(ZOP_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/../src ABSOLUTE)

set(ZOP_SHARED_SOURCES
  app/startup.cpp
  core/appstate.cpp
  core/entrypath.cpp
  core/gzparallel.cpp
  core/gzstream.cpp
  core/image.cpp
  core/records.cpp
  core/sha256.cpp
  core/text.cpp
  core/filecopy.cpp
  core/gzcopy.cpp
  core/writerpool.cpp
  pack/cli.cpp
  pack/options.cpp
  pack/pack.cpp
  runtime/cmdline.cpp
  runtime/failure.cpp
  runtime/files.cpp
  runtime/iocodes.cpp
  runtime/process.cpp
  runtime/random.cpp
  runtime/runtime.cpp
  runtime/stopsignals.cpp
  runtime/terminaltext.cpp
  runtime/textfile.cpp
  runtime/threads.cpp
  unpack/cache.cpp
  unpack/container.cpp
  unpack/extract.cpp
  unpack/list.cpp
  unpack/run.cpp
)

set(ZOP_POSIX_SOURCES
  runtime/cachedir_posix.cpp
  runtime/cmdline_posix.cpp
  runtime/failure_posix.cpp
  runtime/files_posix.cpp
  runtime/messagebox_posix.cpp
  runtime/oserror_posix.cpp
  runtime/process_posix.cpp
  runtime/removetree_posix.cpp
  runtime/stopsignals_posix.cpp
  runtime/threads_posix.cpp
  runtime/workdir_posix.cpp
)

set(ZOP_WIN32_SOURCES
  runtime/cachedir_win32.cpp
  runtime/cmdline_win32.cpp
  runtime/failure_win32.cpp
  runtime/files_win32.cpp
  runtime/messagebox_win32.cpp
  runtime/process_win32.cpp
  runtime/removetree_win32.cpp
  runtime/stopsignals_win32.cpp
  runtime/threads_win32.cpp
  runtime/workdir_win32.cpp
)

if(WIN32)
  set(ZOP_SOURCES ${ZOP_SHARED_SOURCES} ${ZOP_WIN32_SOURCES})
else()
  set(ZOP_SOURCES ${ZOP_SHARED_SOURCES} ${ZOP_POSIX_SOURCES})
endif()
list(TRANSFORM ZOP_SOURCES PREPEND ${ZOP_SOURCE_ROOT}/)
