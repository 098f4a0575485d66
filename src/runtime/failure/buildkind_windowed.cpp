// Linked into the windowed stub (zopw.exe): no console; reports go to the
// error box and the standard text files stay closed.
#include "runtime/failure/failure.h"

const bool windowedBuild = true;
