#include "gfxStreamRuns.h"

// Out of line, so that the run interfaces' virtual tables and type
// information live in the library, where dynamic_cast finds them.
gfxStreamRunReader::~gfxStreamRunReader() {}
gfxStreamRunWriter::~gfxStreamRunWriter() {}
