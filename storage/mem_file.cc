// MemFile and FaultyFile live in the header; this unit makes the test support library.
#include "storage/mem_file.h"
