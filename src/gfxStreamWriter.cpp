#include "gfxStream.h"

// Out of line, so that the writer's virtual table lives in the library.
gfxStreamWriter::~gfxStreamWriter() {}
