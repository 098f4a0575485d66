#include "core/bytes/text.h"

std::size_t find(std::string_view pattern, std::string_view text)
{
    if (text.empty() || pattern.empty())
        return 0;
    const std::size_t at = text.find(pattern);
    return at == std::string_view::npos ? 0 : at + 1;
}

std::string copyText(std::string_view text, long long index, long long count)
{
    if (index < 1)
        index = 1;
    if (count < 1 || index > static_cast<long long>(text.size()))
        return {};
    return std::string(text.substr(static_cast<std::size_t>(index - 1), static_cast<std::size_t>(count)));
}

bool startsWith(std::string_view prefix, std::string_view text)
{
    return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

std::string replaceAll(std::string_view text, std::string_view oldPattern, std::string_view newPattern)
{
    if (oldPattern.empty())
        return std::string(text);
    std::string result;
    result.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(oldPattern, from)) != std::string_view::npos;
         from = at + oldPattern.size()) {
        result.append(text.substr(from, at - from));
        result.append(newPattern);
    }
    result.append(text.substr(from));
    return result;
}
