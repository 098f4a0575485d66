// Linked into the console stub and the tests: reports go to standard output.
#include "runtime/failure/failure.h"

const bool windowedBuild = false;
