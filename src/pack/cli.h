// The packer as a command-line tool: its options, its usage text, and the one
// line on standard error that says in words what failed.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <span>

// What the packer was asked to do: pack (the recipe and output are
// arguments 1 and 2), or look inside a packed file as data: list it
// (--list FILE) or take it apart into directory (--extract FILE [DIR];
// empty: the current directory).
enum class PackerAction { pack, list, extract };
struct PackerCommand {
    PackerAction action = PackerAction::pack;
    std::string file;
    std::string directory;
};

// Answers --help, -h (and /? on Windows) and --version, and refuses a call
// that cannot work (too many arguments, a recipe to be typed at a terminal,
// a packed executable written to a terminal, --list or --extract without a
// file). Each of these ends the process, before anything is created; a
// call that can pack or inspect returns what to do. arguments: the command
// line, argument 0 the running executable.
PackerCommand answerPackerCommandLine(std::span<const std::string> arguments);

// What the packer is doing, for the failure line: a step (an action and the
// name it acts on, as in: cannot read recipe "app.zop") or the recipe line
// being packed (app.zop line 4: "r app"), and, inside an r tree, the entry at
// hand. A new step or line forgets the entry.
void describeStep(std::string_view action, std::string_view name = {});
void describeRecipeRead(std::string_view recipeName);
void describeLine(std::string_view recipeName, int32_t number, std::string_view line);
void describeEntry(std::string_view entry);

// For a check of the packer that fails: notes reason as what the failure
// line says (in place of the report's message) and returns code. The
// packer's steps return 0 or the code of their first failure, at once,
// the failure line's words left as they were; the mode raises the code
// once, at its end.
[[nodiscard]] uint16_t refused(uint16_t code, std::string_view reason);

// Writes "zop: <text>" to standard error (console stubs only): a word to
// the user about a pack that goes on.
void writeNoteLine(std::string_view text);

// Writes "zop: <step>[: <entry>]: <reason>" to standard error (console
// stubs only); the reason is the packer's own, else message in lower case.
void writeFailureLine(std::string_view message);
