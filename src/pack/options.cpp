// Recipe option lines: one table row per option.
#include "pack/options.h"

#include "pack/cli.h"
#include "runtime/base/iocodes.h"

namespace {

enum class OptionValue { none, required };

struct OptionRow {
    std::string_view name;
    OptionValue value;
    void (*apply)(PackOptions& options, std::string_view value);
};

constexpr OptionRow optionTable[] = {
    {"cache", OptionValue::none, [](PackOptions& options, std::string_view) { options.cache = true; }},
};

std::string quoted(std::string_view text)
{
    return "\"" + std::string(text) + "\"";
}

} // namespace

void applyOptionLine(PackOptions& options, std::string_view text)
{
    const std::size_t blank = text.find(' ');
    const std::string_view name = text.substr(0, blank);
    const std::string_view value = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    for (const OptionRow& row : optionTable) {
        if (row.name != name)
            continue;
        if (row.value == OptionValue::none && !value.empty())
            refuse(ioInvalidInput, "option " + quoted(name) + " takes no value");
        if (row.value == OptionValue::required && value.empty())
            refuse(ioInvalidInput, "option " + quoted(name) + " needs a value");
        row.apply(options, value);
        return;
    }
    refuse(ioInvalidInput, "unknown option " + quoted(name));
}

void recordOptions(const PackOptions& options, tail& built)
{
    if (options.cache)
        addTrailerRecord(built, cacheOptionTag, {});
}
