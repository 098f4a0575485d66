// Recipe option lines: one table row per option.
#include "pack/options.h"

#include "pack/cli.h"
#include "runtime/base/iocodes.h"
#include "runtime/failure/failure.h"
#include "runtime/fs/files.h"

namespace {

enum class OptionValue { none, required };

struct OptionRow {
    std::string_view name;
    OptionValue value;
    void (*apply)(PackOptions& options, std::string_view value);
};

// An icon is held whole until the stub's copy is written; no real icon
// comes near this size.
constexpr int32_t maxIconFileSize = 8 * 1024 * 1024;

std::string quoted(std::string_view text)
{
    return "\"" + std::string(text) + "\"";
}

ResourceBytes readIconBytes(std::string_view path)
{
    BinaryFile file;
    assignFile(file, path);
    openRegularFile(file, 1);
    checkIo();
    const int32_t size = fileSize(file);
    checkIo();
    if (size > maxIconFileSize)
        refuse(ioInvalidInput, "the .ico file is larger than 8 MiB");
    ResourceBytes bytes(static_cast<std::size_t>(size));
    readBlock(file, bytes.data(), size);
    checkIo();
    closeFile(file);
    checkIo();
    return bytes;
}

void applyIcon(PackOptions& options, std::string_view path)
{
    const ResourceBytes bytes = readIconBytes(path);
    const std::string_view fault = readIconFile(bytes, options.resources.icon);
    if (!fault.empty())
        refuse(ioInvalidInput, fault);
}

// A version field's text goes into the output as UTF-16.
std::string checkedText(std::string_view value)
{
    ResourceBytes ignored;
    if (!appendUtf16(value, ignored))
        refuse(ioInvalidInput, "the value is not valid UTF-8 (save the recipe as UTF-8)");
    return std::string(value);
}

std::string checkedVersion(std::string_view value)
{
    uint16_t parts[4];
    if (!readVersionNumber(value, parts))
        refuse(ioInvalidInput, "a version is 1 to 4 numbers from 0 to 65535 joined by dots, such as 1.2.3.4");
    return std::string(value);
}

constexpr OptionRow optionTable[] = {
    {"cache", OptionValue::none, [](PackOptions& options, std::string_view) { options.cache = true; }},
    {"icon", OptionValue::required, applyIcon},
    {"product-name", OptionValue::required,
     [](PackOptions& options, std::string_view value) { options.resources.version.productName = checkedText(value); }},
    {"company-name", OptionValue::required,
     [](PackOptions& options, std::string_view value) { options.resources.version.companyName = checkedText(value); }},
    {"file-description", OptionValue::required,
     [](PackOptions& options, std::string_view value) { options.resources.version.fileDescription = checkedText(value); }},
    {"copyright", OptionValue::required,
     [](PackOptions& options, std::string_view value) { options.resources.version.copyright = checkedText(value); }},
    {"file-version", OptionValue::required,
     [](PackOptions& options, std::string_view value) { options.resources.version.fileVersion = checkedVersion(value); }},
    {"product-version", OptionValue::required,
     [](PackOptions& options, std::string_view value) { options.resources.version.productVersion = checkedVersion(value); }},
};

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
