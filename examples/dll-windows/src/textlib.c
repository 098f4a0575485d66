#include "textlib.h"

static int is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int textlib_count_words(const char *text)
{
    int words = 0;
    int inWord = 0;
    for (; *text; ++text) {
        if (is_space(*text)) {
            inWord = 0;
        } else if (!inWord) {
            inWord = 1;
            ++words;
        }
    }
    return words;
}

const char *textlib_version(void)
{
    return "textlib 1.0";
}
