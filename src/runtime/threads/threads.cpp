// The thread-count rule shared by both platforms.
#include "runtime/threads/threads.h"

#include <string>

#include "runtime/process/cmdline.h"

int threadCount()
{
    const std::string text = environmentValue("ZOP_THREADS");
    if (!text.empty()) {
        int value = 0;
        bool digitsOnly = true;
        for (char c : text) {
            if (c < '0' || c > '9') {
                digitsOnly = false;
                break;
            }
            if (value < 1000)
                value = value * 10 + (c - '0');
        }
        if (digitsOnly && value >= 1)
            return value > 64 ? 64 : value;
    }
    const int online = onlineProcessors();
    return online > 8 ? 8 : online;
}
