// Windows: the box of the user32 library.
#include "runtime/fs/messagebox.h"

#include <windows.h>

#include <string>

void showMessageBox(std::string_view text, std::string_view caption)
{
    const std::string shownText(text);
    const std::string shownCaption(caption);
    MessageBoxA(nullptr, shownText.c_str(), shownCaption.c_str(), MB_OK);
}
