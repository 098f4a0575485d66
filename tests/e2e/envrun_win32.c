/* Starts one Windows command line under Wine with an environment the test
 * chose. Wine takes TEMP and TMP from its registry, not from the Unix
 * environment, so the end-to-end tests set them here, inside the Wine
 * process, and hand over the exact raw command line the program under test
 * must see.
 *
 * The control file named by ENVRUN_CONTROL holds, in this order:
 *   lines "set NAME=VALUE" and "unset NAME" (applied in order),
 *   one line "cmdline", then the raw command line: every remaining byte.
 * The child inherits the standard handles; envrun waits for it and exits with
 * its exit code. Failures of envrun itself exit with 250 and a message on
 * standard error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int fail(const char* what)
{
    fprintf(stderr, "envrun: %s (error %lu)\n", what, (unsigned long)GetLastError());
    fflush(stderr);
    return 250;
}

static char* readControl(const char* path, long* size)
{
    FILE* in = fopen(path, "rb");
    if (!in)
        return NULL;
    fseek(in, 0, SEEK_END);
    *size = ftell(in);
    fseek(in, 0, SEEK_SET);
    char* bytes = malloc((size_t)*size + 1);
    if (bytes && fread(bytes, 1, (size_t)*size, in) != (size_t)*size) {
        free(bytes);
        bytes = NULL;
    }
    fclose(in);
    if (bytes)
        bytes[*size] = 0;
    return bytes;
}

int main(void)
{
    char controlPath[4096];
    DWORD n = GetEnvironmentVariableA("ENVRUN_CONTROL", controlPath, sizeof controlPath);
    if (n == 0 || n >= sizeof controlPath)
        return fail("ENVRUN_CONTROL not set");
    SetEnvironmentVariableA("ENVRUN_CONTROL", NULL);

    long size = 0;
    char* control = readControl(controlPath, &size);
    if (!control)
        return fail("cannot read the control file");
    /* The control file gone tells the harness that envrun itself ran. */
    DeleteFileA(controlPath);

    char* line = control;
    char* commandLine = NULL;
    while (line < control + size) {
        char* end = strchr(line, '\n');
        if (!end)
            return fail("control file without a command line");
        *end = 0;
        if (strcmp(line, "cmdline") == 0) {
            commandLine = end + 1;
            break;
        }
        if (strncmp(line, "set ", 4) == 0) {
            char* equals = strchr(line + 4, '=');
            if (!equals)
                return fail("malformed set line");
            *equals = 0;
            if (!SetEnvironmentVariableA(line + 4, equals + 1))
                return fail("SetEnvironmentVariableA");
        } else if (strncmp(line, "unset ", 6) == 0) {
            SetEnvironmentVariableA(line + 6, NULL);
        } else {
            return fail("unknown control line");
        }
        line = end + 1;
    }
    if (!commandLine)
        return fail("control file without a command line");

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    /* Wine under load now and then fails a start with ERROR_INTERNAL_ERROR
     * before the child runs any code of its own: nothing has run, so the
     * start is tried again a few times. */
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        started = CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR)
            break;
        if (!started)
            Sleep(200);
    }
    if (!started)
        return fail("CreateProcessA");
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 250;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    free(control);
    return (int)exitCode;
}
