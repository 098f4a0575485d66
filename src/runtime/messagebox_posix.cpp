// Linux has no windowed build: the text goes to standard output.
#include "runtime/messagebox.h"

#include "runtime/textfile.h"

void showMessageBox(std::string_view text, std::string_view)
{
    writeText(standardOutput, text);
    flushText(standardOutput);
}
