/* A stand-in application for the end-to-end tests: it records how it was
 * started and exits with a chosen code.
 *
 * Record file: the path in PROBE_OUT, else "probe.out" beside the program.
 * Each start appends one record so that a run of several commands leaves them
 * all, in order. A record is a line "probe" followed by "key=<length>:<bytes>"
 * lines (exact bytes, newlines allowed) and ends with the line "end":
 *   argc, argv (one line per argument, argument 0 included),
 *   cmdline (Windows only: the raw GetCommandLineA text), exe (the probe's
 *   own file), cwd,
 *   env:NAME for every NAME in the comma-separated list PROBE_ENV
 *   (a variable that is not set is written as "unset:NAME=0:").
 *
 * Holding: with PROBE_HOLD set, the probe first takes hold of that file or
 * directory as a running launcher holds a cached tree (Linux: a shared
 * flock; Windows: open without delete sharing, a directory with all
 * sharing), writes its record, and keeps the hold until the file named by
 * PROBE_RELEASE exists (at most two minutes).
 *
 * Exit code: an argument "--probe-exit=N" wins over the variable PROBE_EXIT;
 * 0 when neither is given. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

static void writeField(FILE* out, const char* key, const char* value)
{
    size_t length = strlen(value);
    fprintf(out, "%s=%lu:", key, (unsigned long)length);
    fwrite(value, 1, length, out);
    fputc('\n', out);
}

static void currentDirectory(char* buffer, size_t size)
{
    buffer[0] = 0;
#ifdef _WIN32
    GetCurrentDirectoryA((DWORD)size, buffer);
#else
    if (!getcwd(buffer, size))
        buffer[0] = 0;
#endif
}

/* Environment lookup through the system itself, so that the record shows
 * what a real program would see. */
static int environmentValue(const char* name, char* buffer, size_t size)
{
#ifdef _WIN32
    DWORD n = GetEnvironmentVariableA(name, buffer, (DWORD)size);
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return 0;
    if (n >= size)
        buffer[0] = 0;
    return 1;
#else
    const char* value = getenv(name);
    if (!value)
        return 0;
    snprintf(buffer, size, "%s", value);
    return 1;
#endif
}

/* The probe's own file, whichever copy of it runs. */
static void ownPath(const char* argv0, char* program, size_t size)
{
#ifdef _WIN32
    (void)argv0;
    GetModuleFileNameA(NULL, program, (DWORD)size);
    program[size - 1] = 0;
#else
    ssize_t n = readlink("/proc/self/exe", program, size - 1);
    if (n < 0)
        snprintf(program, size, "%s", argv0);
    else
        program[n] = 0;
#endif
}

static void outputPath(const char* argv0, char* buffer, size_t size)
{
    char program[4096];
    const char* given = getenv("PROBE_OUT");
    if (given && *given) {
        snprintf(buffer, size, "%s", given);
        return;
    }
    ownPath(argv0, program, sizeof program);
    char* cut = strrchr(program, '/');
    char* cutBack = strrchr(program, '\\');
    if (cutBack > cut)
        cut = cutBack;
    if (cut)
        cut[1] = 0;
    else
        program[0] = 0;
    snprintf(buffer, size, "%sprobe.out", program);
}

static void writeEnvironment(FILE* out)
{
    const char* list = getenv("PROBE_ENV");
    if (!list)
        return;
    char names[4096];
    snprintf(names, sizeof names, "%s", list);
    for (char* name = strtok(names, ","); name; name = strtok(NULL, ",")) {
        char value[32768];
        char key[4200];
        if (environmentValue(name, value, sizeof value)) {
            snprintf(key, sizeof key, "env:%s", name);
            writeField(out, key, value);
        } else {
            snprintf(key, sizeof key, "unset:%s", name);
            writeField(out, key, "");
        }
    }
}

static void takeHold(const char* path)
{
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path);
    DWORD sharing = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                        ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                        : FILE_SHARE_READ;
    if (CreateFileA(path, GENERIC_READ, sharing, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL) ==
        INVALID_HANDLE_VALUE)
        fprintf(stderr, "probe: cannot hold %s\n", path);
#else
    int fd = open(path, O_RDONLY);
    if (fd < 0 || flock(fd, LOCK_SH) != 0)
        fprintf(stderr, "probe: cannot hold %s\n", path);
#endif
}

static void waitForRelease(const char* path)
{
    for (int i = 0; i < 12000; ++i) {
        FILE* release = fopen(path, "rb");
        if (release) {
            fclose(release);
            return;
        }
#ifdef _WIN32
        Sleep(10);
#else
        usleep(10000);
#endif
    }
}

int main(int argc, char** argv)
{
    const char* hold = getenv("PROBE_HOLD");
    if (hold && *hold)
        takeHold(hold);
    char path[4096];
    outputPath(argv[0], path, sizeof path);
    FILE* out = fopen(path, "ab");
    if (!out) {
        fprintf(stderr, "probe: cannot open %s\n", path);
        return 254;
    }
    fputs("probe\n", out);
    char number[32];
    snprintf(number, sizeof number, "%d", argc);
    writeField(out, "argc", number);
    for (int i = 0; i < argc; ++i)
        writeField(out, "argv", argv[i]);
#ifdef _WIN32
    writeField(out, "cmdline", GetCommandLineA());
#endif
    char self[4096];
    ownPath(argv[0], self, sizeof self);
    writeField(out, "exe", self);
    char cwd[4096];
    currentDirectory(cwd, sizeof cwd);
    writeField(out, "cwd", cwd);
    writeEnvironment(out);
    fputs("end\n", out);
    fclose(out);
    const char* release = getenv("PROBE_RELEASE");
    if (release && *release)
        waitForRelease(release);

    int code = 0;
    const char* fromEnv = getenv("PROBE_EXIT");
    if (fromEnv && *fromEnv)
        code = atoi(fromEnv);
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--probe-exit=", 13) == 0)
            code = atoi(argv[i] + 13);
    return code;
}
