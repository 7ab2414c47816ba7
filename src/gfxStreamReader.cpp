#include "gfxStream.h"

// Out of line, so that the reader's virtual table lives in the library.
gfxStreamReader::~gfxStreamReader() {}
