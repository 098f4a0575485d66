// Recipe option lines: one table row per option.
#include "pack/options.h"

#include "pack/cli.h"
#include "runtime/base/iocodes.h"
#include "runtime/fs/files.h"

namespace {

enum class OptionValue : uint8_t { none, required };

// What a row does: sets the cache, reads the icon, or sets its field of the
// version information.
enum class OptionAction : uint8_t { cache, icon, version };

struct OptionRow {
    const char* name;
    OptionValue value;
    OptionAction action;
    VersionField versionField = VersionField::count;
};

// An icon is held whole until the stub's copy is written; no real icon
// comes near this size.
constexpr int32_t maxIconFileSize = 8 * 1024 * 1024;

std::string quoted(std::string_view text)
{
    return "\"" + std::string(text) + "\"";
}

// Reads the whole .ico file into bytes, each step checked.
[[nodiscard]] uint16_t readIconBytes(std::string_view path, ResourceBytes& bytes)
{
    BinaryFile file;
    assignFile(file, path);
    openRegularFile(file, 1);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    const int32_t size = fileSize(file);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    if (size > maxIconFileSize)
        return refused(ioInvalidInput, "an .ico file over 8 MiB");
    bytes.resize(static_cast<std::size_t>(size));
    readBlock(file, bytes.data(), size);
    if (const uint16_t code = ioResult(); code != 0)
        return code;
    closeFile(file);
    return ioResult();
}

[[nodiscard]] uint16_t applyIcon(PackOptions& options, std::string_view path)
{
    ResourceBytes bytes;
    if (const uint16_t code = readIconBytes(path, bytes); code != 0)
        return code;
    const std::string_view fault = checkIconFile(bytes);
    if (!fault.empty())
        return refused(ioInvalidInput, fault);
    options.resources.icon.swap(bytes);
    return 0;
}

constexpr OptionRow optionTable[] = {
    {"cache", OptionValue::none, OptionAction::cache},
    {"icon", OptionValue::required, OptionAction::icon},
    {"product-name", OptionValue::required, OptionAction::version, VersionField::productName},
    {"company-name", OptionValue::required, OptionAction::version, VersionField::companyName},
    {"file-description", OptionValue::required, OptionAction::version, VersionField::fileDescription},
    {"copyright", OptionValue::required, OptionAction::version, VersionField::copyright},
    {"file-version", OptionValue::required, OptionAction::version, VersionField::fileVersion},
    {"product-version", OptionValue::required, OptionAction::version, VersionField::productVersion},
};

} // namespace

uint16_t applyOptionLine(PackOptions& options, std::string_view text)
{
    const std::size_t blank = text.find(' ');
    const std::string_view name = text.substr(0, blank);
    const std::string_view value = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    for (const OptionRow& row : optionTable) {
        if (row.name != name)
            continue;
        if (row.value == OptionValue::none && !value.empty())
            return refused(ioInvalidInput, "option " + quoted(name) + " takes no value");
        if (row.value == OptionValue::required && value.empty())
            return refused(ioInvalidInput, "option " + quoted(name) + " needs a value");
        if (row.action == OptionAction::cache) {
            options.cache = true;
            return 0;
        }
        if (row.action == OptionAction::icon)
            return applyIcon(options, value);
        const std::string_view fault = setVersionField(options.resources.version, row.versionField, value);
        if (!fault.empty())
            return refused(ioInvalidInput, fault);
        return 0;
    }
    return refused(ioInvalidInput, "unknown option " + quoted(name));
}

void recordOptions(const PackOptions& options, tail& built)
{
    if (options.cache)
        addTrailerRecord(built, cacheOptionTag, {});
}
