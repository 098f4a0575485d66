#include "runtime/process/cmdline.h"

#include <algorithm>

#include "runtime/process/cmdline_platform.h"
#include "runtime/os/oscalls.h"
#include "runtime/base/shorttext.h"

namespace {

std::vector<std::string> argumentTable;

bool isSeparator(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 1 && byte <= 32;
}

} // namespace

std::vector<std::string> splitCommandLine(std::string_view raw)
{
    // The raw text ends at its first NUL byte, like the operating system's.
    raw = raw.substr(0, raw.find('\0'));
    std::vector<std::string> tokens;
    std::size_t pos = 0;
    while (true) {
        while (pos < raw.size() && isSeparator(raw[pos]))
            ++pos;
        if (pos == raw.size())
            return tokens;

        enum class Quote { none, single, twin } quote = Quote::none;
        std::string token;
        for (; pos < raw.size(); ++pos) {
            const char c = raw[pos];
            if (isSeparator(c) && quote == Quote::none)
                break;
            const bool isQuote = c == '"' || c == '\'';
            const Quote own = c == '"' ? Quote::twin : Quote::single;
            if (!isQuote || (quote != Quote::none && quote != own)) {
                token += c;
            } else if (pos + 1 < raw.size() && raw[pos + 1] == c) {
                ++pos; // a doubled quote adds nothing
            } else {
                quote = quote == Quote::none ? own : Quote::none;
            }
        }
        tokens.push_back(std::move(token));
    }
}

std::string quoteForSplitter(std::string_view argument)
{
    if (argument.empty())
        return "''";
    std::string quoted;
    std::size_t pos = 0;
    while (pos < argument.size()) {
        // A single quote cannot stand inside single quotes, and a doubled one
        // would vanish: runs of them go between double quotes instead.
        const bool quotes = argument[pos] == '\'';
        const std::size_t end = quotes ? argument.find_first_not_of('\'', pos) : argument.find('\'', pos);
        const char around = quotes ? '"' : '\'';
        quoted += around;
        quoted += argument.substr(pos, end - pos);
        quoted += around;
        pos = end == std::string_view::npos ? argument.size() : end;
    }
    return quoted;
}

std::size_t windowsArgumentsStart(std::string_view raw)
{
    raw = raw.substr(0, raw.find('\0'));
    std::size_t pos = 0;
    if (!raw.empty() && raw[0] == '"') {
        const std::size_t closing = raw.find('"', 1);
        pos = closing == std::string_view::npos ? raw.size() : closing + 1;
    } else {
        pos = raw.find_first_of(" \t");
        if (pos == std::string_view::npos)
            pos = raw.size();
    }
    while (pos < raw.size() && (raw[pos] == ' ' || raw[pos] == '\t'))
        ++pos;
    return pos;
}

bool matchEnvironmentEntry(std::string_view entry, std::string_view upperName, std::string& value)
{
    const std::size_t equals = entry.find('=');
    const std::size_t nameLength = equals == std::string_view::npos ? 0 : equals;
    if (nameLength != upperName.size())
        return false;
    for (std::size_t i = 0; i < nameLength; ++i)
        if (upperAscii(entry[i]) != upperName[i])
            return false;
    value = equals == std::string_view::npos ? std::string() : std::string(entry.substr(equals + 1));
    return true;
}

namespace {

// The first entry of the environment whose name matches, each entry cut to
// entryMax bytes before it is split.
std::string lookUpEnvironment(std::string_view name, std::size_t entryMax)
{
    const std::string upperName = environmentLookupName(name);
    const std::string block = osEnvironment();
    std::string value;
    for (std::size_t at = 0; at < block.size();) {
        std::size_t end = block.find('\0', at);
        if (end == std::string::npos)
            end = block.size();
        const std::string_view entry = std::string_view(block).substr(at, end - at);
        if (matchEnvironmentEntry(entry.substr(0, entryMax), upperName, value))
            return value;
        at = end + 1;
    }
    return {};
}

} // namespace

std::string environmentValue(std::string_view name)
{
    return lookUpEnvironment(name, environmentEntryMax);
}

std::string wholeEnvironmentValue(std::string_view name)
{
    return lookUpEnvironment(name, std::string::npos);
}

void setArgumentTable(std::vector<std::string> arguments)
{
    if (arguments.empty())
        arguments.emplace_back();
    argumentTable = std::move(arguments);
}

std::span<const std::string> commandLineArguments()
{
    return argumentTable;
}

int32_t argumentCount()
{
    return argumentTable.empty() ? 0 : static_cast<int32_t>(argumentTable.size() - 1);
}

std::string argumentAt(int32_t index)
{
    if (index < 0 || index > argumentCount() || argumentTable.empty())
        return {};
    return argumentTable[static_cast<std::size_t>(index)];
}

std::string environmentLookupName(std::string_view name)
{
    std::string upper(name.substr(0, environmentEntryMax));
    for (char& c : upper)
        c = upperAscii(c);
    return upper;
}

std::vector<std::string> splitCRuntimeArguments(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> arguments;
    std::size_t pos = 0;
    while (true) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
            ++pos;
        if (pos == text.size())
            return arguments;
        std::string argument;
        bool quoted = false;
        while (pos < text.size() && (quoted || (text[pos] != ' ' && text[pos] != '\t'))) {
            if (text[pos] == '\\') {
                const std::size_t end = std::min(text.find_first_not_of('\\', pos), text.size());
                const std::size_t slashes = end - pos;
                pos = end;
                const bool beforeQuote = pos < text.size() && text[pos] == '"';
                argument.append(beforeQuote ? slashes / 2 : slashes, '\\');
                if (beforeQuote && slashes % 2 == 1) {
                    argument += '"';
                    ++pos;
                }
            } else if (text[pos] == '"' && quoted && pos + 1 < text.size() && text[pos + 1] == '"') {
                argument += '"';
                pos += 2;
            } else if (text[pos] == '"') {
                quoted = !quoted;
                ++pos;
            } else {
                argument += text[pos++];
            }
        }
        arguments.push_back(std::move(argument));
    }
}

namespace {

bool bareForCmd(char c)
{
    const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return alphanumeric || std::string_view("-_./\\:+@#$*?~").find(c) != std::string_view::npos;
}

} // namespace

std::string_view windowsProgramPart(std::string_view commandLine)
{
    std::string_view name = commandLine.substr(0, windowsArgumentsStart(commandLine));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.remove_suffix(1);
    if (!name.empty() && name.front() == '"') {
        name.remove_prefix(1);
        if (!name.empty() && name.back() == '"')
            name.remove_suffix(1);
    }
    return name;
}

CmdReader cmdReaderOf(std::string_view commandLine)
{
    std::string_view name = windowsProgramPart(commandLine);
    // Windows drops the dots and blanks that end a file name.
    while (!name.empty() && (name.back() == '.' || name.back() == ' '))
        name.remove_suffix(1);
    const std::size_t cut = name.find_last_of("\\/:");
    const std::string file = lowerAscii(cut == std::string_view::npos ? name : name.substr(cut + 1));
    if (file == "cmd" || file == "cmd.exe")
        return CmdReader::interpreter;
    if (file.ends_with(".bat") || file.ends_with(".cmd"))
        return CmdReader::batchFile;
    return CmdReader::none;
}

namespace {

// Walks cmd's switches (they may follow each other without a blank, /s/c):
// calls seen for each one, lower case, and returns where the text after /C
// or /K starts, blanks skipped; npos when the switches end otherwise.
template <typename Seen>
std::size_t cmdCommandStart(std::string_view cmdArguments, Seen seen)
{
    const std::string text = lowerAscii(cmdArguments);
    std::size_t pos = 0;
    while (true) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
            ++pos;
        if (pos + 1 >= text.size() || text[pos] != '/')
            return std::string_view::npos;
        const std::size_t end = std::min(text.find_first_of(" \t", pos + 1), text.find('/', pos + 1));
        if (text[pos + 1] == 'c' || text[pos + 1] == 'k')
            return std::min(text.find_first_not_of(" \t", pos + 2), text.size());
        seen(std::string_view(text).substr(pos, end - pos));
        pos = end == std::string::npos ? text.size() : end;
    }
}

} // namespace

bool cmdExpandsDelayed(std::string_view cmdArguments, bool byDefault)
{
    bool delayed = byDefault;
    cmdCommandStart(cmdArguments, [&](std::string_view option) {
        if (option == "/v" || option == "/v:on")
            delayed = true;
        else if (option == "/v:off")
            delayed = false;
    });
    return delayed;
}

bool cmdStripsOuterQuotes(std::string_view cmdArguments)
{
    const std::size_t start = cmdCommandStart(cmdArguments, [](std::string_view) {});
    return start < cmdArguments.size() && cmdArguments[start] == '"';
}

bool quoteArgumentsForCmd(std::string_view text, bool delayedExpansion, std::string& quoted)
{
    quoted.clear();
    for (const std::string& argument : splitCRuntimeArguments(text)) {
        if (argument.find_first_of("\r\n") != std::string::npos ||
            (delayedExpansion && argument.find('!') != std::string::npos))
            return false;
        if (!quoted.empty())
            quoted += ' ';
        if (!argument.empty() && std::all_of(argument.begin(), argument.end(), bareForCmd)) {
            quoted += argument;
            continue;
        }
        quoted += '"';
        std::size_t slashes = 0;
        for (const char c : argument) {
            if (c == '"') {
                quoted.append(slashes, '\\');
                quoted += '"';
            }
            if (c == '%')
                quoted += "%%cd:~,";
            slashes = c == '\\' ? slashes + 1 : 0;
            quoted += c;
        }
        quoted.append(slashes, '\\');
        quoted += '"';
    }
    return true;
}
