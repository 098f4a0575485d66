// Linux has no windowed build: the text goes to standard output.
#include "runtime/fs/messagebox.h"

#include "runtime/fs/textfile.h"

void showMessageBox(std::string_view text, std::string_view)
{
    writeText(standardOutput, text);
    flushText(standardOutput);
}
