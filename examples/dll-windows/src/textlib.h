/* Word counting, exported by textlib.dll. */
#ifndef TEXTLIB_H
#define TEXTLIB_H

#ifdef TEXTLIB_BUILD
#define TEXTLIB_API __declspec(dllexport)
#else
#define TEXTLIB_API __declspec(dllimport)
#endif

/* Number of words (runs of bytes other than blank, tab, CR and LF) in text. */
TEXTLIB_API int textlib_count_words(const char *text);

/* Version text of the library, to show which DLL was loaded. */
TEXTLIB_API const char *textlib_version(void);

#endif
