// Command line and environment.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Splits a raw command line by the system's own rules: separators are bytes
// 1..32, two quote characters (" and '), a doubled quote vanishes, no
// backslash escapes. Returns every token, the program name first.
std::vector<std::string> splitCommandLine(std::string_view raw);

// One argument quoted so that splitCommandLine gives it back exactly: runs
// of single quotes between double quotes, everything else between single
// quotes ('' for the empty argument).
std::string quoteForSplitter(std::string_view argument);

// Where the arguments start in a raw command line by the Windows rules: the
// program name is a quoted first token up to its closing quote, else the
// text up to the first blank or tab; the blanks and tabs after it are
// skipped as well.
std::size_t windowsArgumentsStart(std::string_view raw);
// The program of a Windows command line as written: what comes before the
// arguments, without the blanks after it or the double quotes around it.
std::string_view windowsProgramPart(std::string_view commandLine);

// Splits an argument text by the rules of the Windows C runtime, by which
// Windows callers quote the arguments they pass: blanks and tabs separate
// outside double quotes; 2n backslashes before a quote give n backslashes
// and the quote opens or closes a quoted part, 2n+1 give n and a literal
// quote; a doubled quote inside a quoted part is a literal quote; every other
// backslash is literal.
std::vector<std::string> splitCRuntimeArguments(std::string_view text);

// What Windows runs a command line under: cmd reads the arguments of cmd
// itself (cmd or cmd.exe, any case, with or without a directory) and of a
// batch file (.bat or .cmd), which the system hands to cmd.
enum class CmdReader { none, interpreter, batchFile };
CmdReader cmdReaderOf(std::string_view commandLine);

// Whether cmd, started with this text after its program name, expands
// !VAR!: a /V:ON (or /V) among its switches before /C or /K turns it on,
// /V:OFF off; without either, byDefault (the registry's setting).
bool cmdExpandsDelayed(std::string_view cmdArguments, bool byDefault);

// Whether cmd, started with this text after its program name, takes the
// first and the last double quote off its command (the text after /C or
// /K): it does when that text starts with a quote. Arguments quoted for cmd
// are no longer one token each then.
bool cmdStripsOuterQuotes(std::string_view cmdArguments);

// The arguments of text (split by splitCRuntimeArguments) written again so
// that cmd takes each as one literal token and hands it on as the C runtime
// splits it: an argument of letters, digits and -_./\:+@#$*?~ alone stays
// bare; every other one goes between double quotes, a quote in it doubled,
// the backslashes before a quote (or before the closing quote) doubled, and
// each % written as %%cd:~,% (a reference to an empty part of a variable
// that cmd always defines, so that no %NAME% pair can form). Nothing can keep
// a line break from ending cmd's line, nor, while delayed expansion is on, a
// ! from expanding: false for such an argument, quoted left unspecified.
bool quoteArgumentsForCmd(std::string_view text, bool delayedExpansion, std::string& quoted);

// The launcher's arguments as one text that hands every one of them on
// exactly: on Windows the command-line tail as typed, from
// windowsArgumentsStart on; on Linux each argument quoteForSplitter'ed,
// joined by blanks. Empty when there are no arguments.
std::string exactArguments();

// Builds the argument table once, at process start. On Linux argv[1..] are
// taken as delivered; on Windows argc/argv are ignored and GetCommandLineA is
// split. Argument 0 is always the running executable's path, whole (a path
// the system could deliver only cut is longer than the file services take,
// so that opening it fails with code 3).
void initCommandLine(int argc, char** argv);

int32_t argumentCount();
std::string argumentAt(int32_t index);
// The whole table, argument 0 first: what start-up hands to the modes.
std::span<const std::string> commandLineArguments();

// First environment entry whose name matches (ASCII case ignored); entries
// are cut to 255 bytes before splitting. Empty when nothing matches.
std::string environmentValue(std::string_view name);
// The same lookup over whole entries (Windows' PATH may be far longer).
std::string wholeEnvironmentValue(std::string_view name);

// Pure lookup over one entry; used by both platforms' environment walks.
// Returns true and sets value when entry (already cut) matches upperName.
bool matchEnvironmentEntry(std::string_view entry, std::string_view upperName, std::string& value);
