// The packer's words to its user: usage, version, and the failure line.
#include "pack/cli.h"

#include <utility>

#include "runtime/process/cmdline.h"
#include "runtime/failure/failure.h"
#include "runtime/fs/files.h"
#include "runtime/fs/textfile.h"

#ifndef ZOP_VERSION
#define ZOP_VERSION "unknown"
#endif

namespace {

constexpr uint32_t usageExitCode = 2;

const bool onWindows = pathSeparator == '\\';

struct FailureWords {
    std::string step;
    std::string entry;
    std::string reason;
};
FailureWords failureWords;

std::string_view lineEnd()
{
    return onWindows ? "\r\n" : "\n";
}

// One text per line; lineEnd() is put after each.
constexpr std::string_view usageLines[] = {
    "Usage: zop RECIPE OUTPUT    pack what RECIPE names into the executable OUTPUT",
    "       zop RECIPE > OUTPUT  an empty or missing OUTPUT: standard output",
    "       zop < RECIPE > OUTPUT  an empty RECIPE: standard input",
    "       zop --list FILE      list the entries of the packed file FILE",
    "       zop --extract FILE [DIR]  take FILE apart into DIR (default: here)",
    "       zop --help | --version",
    "",
    "Recipe lines: a kind, a blank, the text (# starts a comment):",
    "  d DIR      a directory, made in the work directory",
    "  f FILE     a file and its contents, under the same relative name",
    "  r DIR      a directory tree, as d and f entries in name order",
    "  c COMMAND  a command, run in the caller's current directory",
    "  t COMMAND  a command, run in the work directory",
    "Placeholders, replaced when the packed executable runs:",
    "  %args%     its arguments, each handed on exactly as given",
    "  %parms% %quotedparms%  its arguments, joined by blanks / each in single quotes",
    "  %tempdir% %tempdir1% %tempdir2%  the work directory, as is / with / / with \\",
    "Environment: ZOP_EXE=STUB puts STUB (zop, zop.exe, zopw.exe, zop64.exe or",
    "  zopw64.exe) at the head of OUTPUT instead of this program; TEMP holds the",
    "  work directory.",
    "A packed executable takes --zop-list (list its entries) and --zop-justextract",
    "  (take it apart into the current directory); every argument goes on to %args%.",
    "--list and --extract read FILE as data and never run any of it: use them on",
    "  packed files from elsewhere.",
    "Guide: README.md of the zop distribution (/usr/share/doc/zop/README.md).",
};

void writeUsage(TextFile& to)
{
    for (std::string_view line : usageLines) {
        writeText(to, line);
        writeText(to, lineEnd());
    }
}

// How the command line is answered when the packer is to do nothing:
// usage or version on standard output, or a word on standard error (the
// problem, then the usage unless the problem says all), each with its own
// exit code.
enum class Reply : uint8_t { work, help, version, usageError, problemOnly };

struct CommandLineAnswer {
    Reply reply = Reply::work;
    std::string_view problem;  // usageError (may be empty), problemOnly
    PackerCommand command;
};

CommandLineAnswer usageError(std::string_view problem)
{
    return {Reply::usageError, problem, {}};
}

void writeProblem(std::string_view problem)
{
    if (problem.empty())
        return;
    writeText(standardError, "zop: ");
    writeText(standardError, problem);
    writeText(standardError, lineEnd());
}

// Gives the answer and ends the process: the one end of the command line.
[[noreturn]] void endWithAnswer(const CommandLineAnswer& answer)
{
    uint32_t exitCode = usageExitCode;
    switch (answer.reply) {
    case Reply::help:
        writeUsage(standardOutput);
        exitCode = 0;
        break;
    case Reply::version:
        writeText(standardOutput, "zop " ZOP_VERSION);
        writeText(standardOutput, lineEnd());
        exitCode = 0;
        break;
    case Reply::usageError:
        writeProblem(answer.problem);
        writeUsage(standardError);
        break;
    case Reply::work:
    case Reply::problemOnly:
        writeProblem(answer.problem);
        break;
    }
    ioResult();  // a failure still pending is of no interest any more
    terminateProcess(exitCode);
}

bool isHelpOption(std::string_view a)
{
    return a == "--help" || a == "-h" || (onWindows && a == "/?");
}

// --list FILE and --extract FILE [DIR]: FILE must be named (an empty name
// names no file).
CommandLineAnswer inspectionCommand(PackerAction action, std::span<const std::string> arguments)
{
    const bool listing = action == PackerAction::list;
    const std::size_t count = arguments.size() - 1;  // at least --list or --extract
    const std::size_t maxCount = listing ? 2 : 3;
    if (count > maxCount)
        return usageError("too many arguments");
    CommandLineAnswer answer;
    answer.command.action = action;
    answer.command.file = count >= 2 ? arguments[2] : std::string();
    answer.command.directory = count >= 3 ? arguments[3] : std::string();
    if (answer.command.file.empty())
        return usageError(listing ? "--list needs the packed FILE to read"
                                  : "--extract needs the packed FILE to read");
    return answer;
}

// The checks of the command line in their order: the first that answers
// it wins.
CommandLineAnswer readCommandLine(std::span<const std::string> arguments)
{
    // The arguments after argument 0, the running executable.
    const std::size_t count = arguments.empty() ? 0 : arguments.size() - 1;
    const std::string recipe = count >= 1 ? arguments[1] : std::string();
    const std::string output = count >= 2 ? arguments[2] : std::string();
    if (recipe == "--list")
        return inspectionCommand(PackerAction::list, arguments);
    if (recipe == "--extract")
        return inspectionCommand(PackerAction::extract, arguments);
    if (isHelpOption(recipe))
        return {Reply::help, {}, {}};
    if (recipe == "--version")
        return {Reply::version, {}, {}};
    if (count > 2)
        return usageError("too many arguments");
    if (recipe.empty() && isTerminal(standardInput))
        return usageError("");
    if (output.empty() && isTerminal(standardOutput))
        return {Reply::problemOnly,
                "a packed executable is not written to a terminal: name an OUTPUT file or redirect standard output",
                {}};
    return {};
}

} // namespace

PackerCommand answerPackerCommandLine(std::span<const std::string> arguments)
{
    CommandLineAnswer answer = readCommandLine(arguments);
    if (answer.reply != Reply::work)
        endWithAnswer(answer);
    return std::move(answer.command);
}

void describeStep(std::string_view action, std::string_view name)
{
    failureWords.step.assign(action);
    if (!name.empty()) {
        failureWords.step += " \"";
        failureWords.step += name;
        failureWords.step += '"';
    }
    failureWords.entry.clear();
}

void describeRecipeRead(std::string_view recipeName)
{
    if (recipeName.empty())
        describeStep("cannot read the recipe from standard input");
    else
        describeStep("cannot read recipe", recipeName);
}

void describeLine(std::string_view recipeName, int32_t number, std::string_view line)
{
    std::string action(recipeName.empty() ? "standard input" : recipeName);
    action += " line ";
    action += std::to_string(number);
    action += ':';
    describeStep(action, line);
}

void describeEntry(std::string_view entry)
{
    failureWords.entry.assign(entry);
}

[[gnu::noinline]] uint16_t refused(uint16_t code, std::string_view reason)
{
    failureWords.reason.assign(reason);
    return code;
}

void writeNoteLine(std::string_view text)
{
    if (windowedBuild)
        return;
    writeText(standardError, "zop: ");
    writeText(standardError, text);
    writeText(standardError, lineEnd());
    flushText(standardError);
}

// Writes piece by piece without building a new string: the failure road may
// be the road of memory exhaustion.
void writeFailureLine(std::string_view message)
{
    if (windowedBuild || failureWords.step.empty())
        return;
    writeText(standardError, "zop: ");
    writeText(standardError, failureWords.step);
    if (!failureWords.entry.empty()) {
        writeText(standardError, ": ");
        writeText(standardError, failureWords.entry);
    }
    writeText(standardError, ": ");
    if (!failureWords.reason.empty()) {
        writeText(standardError, failureWords.reason);
    } else {
        for (char c : message)
            writeText(standardError, c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    writeText(standardError, lineEnd());
    flushText(standardError);
}
