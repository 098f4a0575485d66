/* Counts the words of a data file and of each argument with textlib.dll,
 * which Windows loads from the program's own directory.
 *   wordcount DATAFILE [TEXT...]
 * Exit code 0, or 1 when the data file cannot be read. */
#include <stdio.h>
#include <string.h>

#include "textlib.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: wordcount DATAFILE [TEXT...]\n");
        return 1;
    }
    FILE *data = fopen(argv[1], "rb");
    if (!data) {
        fprintf(stderr, "wordcount: cannot open %s\n", argv[1]);
        return 1;
    }
    int fileWords = 0;
    char line[1024];
    while (fgets(line, sizeof line, data))
        fileWords += textlib_count_words(line);
    fclose(data);

    printf("%s\n", textlib_version());
    const char *name = strrchr(argv[1], '\\');
    printf("%s: %d words\n", name ? name + 1 : argv[1], fileWords);
    for (int i = 2; i < argc; ++i)
        printf("[%s]: %d words\n", argv[i], textlib_count_words(argv[i]));
    return 0;
}
