#include "runtime/cmdline.h"

#include "runtime/cmdline_platform.h"
#include "runtime/shorttext.h"

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

void setArgumentTable(std::vector<std::string> arguments)
{
    if (arguments.empty())
        arguments.emplace_back();
    argumentTable = std::move(arguments);
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
