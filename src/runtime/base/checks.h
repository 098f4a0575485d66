// Checks of a contract that a caller must keep (a precondition, an
// invariant of a data structure): compiled into builds with ZOP_CHECKS (the
// debug and sanitizer builds), where a broken one ends the process at once
// with its place; the release stubs carry none of them.
#pragma once

#if defined(ZOP_CHECKS)
#include <cstdio>
#include <cstdlib>
#define ZOP_CHECK(condition)                                                                      \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);   \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)
#else
#define ZOP_CHECK(condition) static_cast<void>(sizeof(static_cast<bool>(condition)))
#endif
