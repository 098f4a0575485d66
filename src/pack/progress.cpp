// The progress line and summary of the packer (see progress.h). Lines are
// built in one fixed buffer: no 64-bit divisions and few string routines,
// since every byte here is copied into every packed executable.
#include "pack/progress.h"

#include <string>

#include "runtime/base/terminaltext.h"
#include "runtime/failure/failure.h"
#include "runtime/fs/textfile.h"
#include "runtime/os/oscalls.h"
#include "runtime/process/cmdline.h"

namespace {

using namespace std::literals;

// A pack that ends within this time shows no progress line; a longer one
// redraws its line at most every redrawMs.
constexpr uint32_t firstLineAfterMs = 1000;
constexpr uint32_t redrawMs = 250;
// The width assumed when the terminal does not tell its own.
constexpr uint32_t defaultColumns = 80;

struct Progress {
    bool on;
    bool drawn;
    uint32_t startedAt;
    uint32_t drawnAt;
    uint32_t entries;
    double bytes;  // exact far beyond any pack's size
    uint32_t shownColumns;  // how much of the screen line the progress holds
    std::string_view name;  // the caller's: valid until its next entry
};
Progress progress{};  // zero: no start-up code

// The line being built: characters beyond maxColumns are dropped, never
// part of one (a UTF-8 character takes one column, its continuation bytes
// none).
struct Line {
    uint32_t size;
    uint32_t columns;
    uint32_t maxColumns;
    bool full;
    char text[600];
};

void putChar(Line& line, char c)
{
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        if (line.columns == line.maxColumns)
            line.full = true;
        else
            ++line.columns;
    }
    if (line.full || line.size == sizeof line.text)
        return;
    line.text[line.size++] = c;
}

void put(Line& line, std::string_view text)
{
    for (char c : text)
        putChar(line, c);
}

void put(Line& line, const char* text)
{
    for (; *text != '\0'; ++text)
        putChar(line, *text);
}

void putNumber(Line& line, uint32_t value)
{
    char digits[10];
    uint32_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    put(line, std::string_view(digits + at, sizeof digits - at));
}

void putTenths(Line& line, uint32_t tenths)
{
    putNumber(line, tenths / 10);
    put(line, ".");
    putNumber(line, tenths % 10);
}

// Bytes in decimal units with one decimal: "512 B", "45.2 MB".
void putAmount(Line& line, double bytes)
{
    if (bytes < 1000) {
        putNumber(line, static_cast<uint32_t>(bytes));
        put(line, " B");
        return;
    }
    // The step up comes where the rounded value would read 1000.0.
    const char* prefix = "kMGT";
    uint32_t tenths = 0;
    for (double scale = 1000;; scale *= 1000, ++prefix) {
        tenths = static_cast<uint32_t>(bytes * 10 / scale + 0.5);
        if (tenths < 10000 || prefix[1] == '\0')
            break;
    }
    putTenths(line, tenths);
    put(line, " ");
    put(line, std::string_view(prefix, 1));
    put(line, "B");
}

// Opens a line with lead and the counts so far: entries and bytes.
void startLine(Line& line, uint32_t maxColumns, const char* lead)
{
    line.size = 0;
    line.columns = 0;
    line.maxColumns = maxColumns;
    line.full = false;
    put(line, lead);
    putNumber(line, progress.entries);
    put(line, progress.entries == 1 ? " entry, " : " entries, ");
    putAmount(line, progress.bytes);
}

uint32_t elapsedMs(uint32_t now)
{
    return now - progress.startedAt;  // wraps correctly past 2^32 ms
}

void writeBlanks(uint32_t count)
{
    for (; count != 0; --count)
        writeText(standardError, ' ');
}

void writeLine(const Line& line)
{
    writeText(standardError, std::string_view(line.text, line.size));
}

void draw(uint32_t now)
{
    const uint32_t columns = osTerminalColumns(standardError.handle);
    // One column stays free: writing the last one wraps on some terminals.
    Line line;
    startLine(line, (columns != 0 ? columns : defaultColumns) - 1, "zop: ");
    put(line, ", ");
    const uint32_t ms = elapsedMs(now);
    putAmount(line, progress.bytes * 1000 / ms);
    put(line, "/s: ");
    put(line, shownOnTerminal(progress.name));
    writeText(standardError, '\r');
    writeLine(line);
    if (line.columns < progress.shownColumns)
        writeBlanks(progress.shownColumns - line.columns);
    else
        progress.shownColumns = line.columns;
    flushText(standardError);
    progress.drawn = true;
    progress.drawnAt = now;
}

void drawWhenDue()
{
    const uint32_t now = osTickCount();
    if (elapsedMs(now) < firstLineAfterMs || (progress.drawn && now - progress.drawnAt < redrawMs))
        return;
    draw(now);
}

} // namespace

void startProgress()
{
    progress.on = !windowedBuild && isTerminal(standardError) &&
                  std::string_view(environmentValue("ZOP_PROGRESS"sv)) != "0"sv;
    progress.startedAt = osTickCount();
}

void progressEntry(std::string_view name)
{
    if (!progress.on)
        return;
    ++progress.entries;
    progress.name = name;
    drawWhenDue();
}

void progressBytes(int32_t bytes)
{
    if (!progress.on)
        return;
    progress.bytes += bytes;
    drawWhenDue();
}

void clearProgress()
{
    if (!progress.drawn)
        return;
    writeText(standardError, '\r');
    writeBlanks(progress.shownColumns);
    writeText(standardError, '\r');
    flushText(standardError);
    progress.drawn = false;
    progress.shownColumns = 0;
}

void reportPacked(int64_t outputBytes, std::string_view outputName)
{
    if (!progress.on)
        return;
    clearProgress();
    Line line;
    startLine(line, sizeof line.text, "zop: packed ");
    put(line, " -> ");
    const double packed = static_cast<double>(outputBytes);
    putAmount(line, packed);
    // A pack of a few bytes grows by the whole stub: no percentage then.
    if (packed < progress.bytes * 10) {
        put(line, " (");
        putNumber(line, static_cast<uint32_t>(packed * 100 / progress.bytes + 0.5));
        put(line, " %)");
    }
    put(line, " in ");
    putTenths(line, (elapsedMs(osTickCount()) + 50) / 100);
    put(line, " s: ");
    // The output's name as the caller typed it.
    put(line, outputName.empty() ? "standard output"sv : outputName);
    put(line, pathSeparator == '\\' ? "\r\n" : "\n");
    writeLine(line);
    flushText(standardError);
}
