#include "gfxRTWideScene.h"

// Saving waits for the mesh trees' own stream format: until then a scene
// describes nothing and loads nothing.
bool gfxRTWideScene::stream(gfxStreamWriter&) const {
    return false;
}

bool gfxRTWideScene::unstream(gfxStreamReader&, unsigned long long, PlxUnicodeString* reason) {
    clear();
    if (reason != nullptr)
        *reason = PlxUnicodeString("wide scenes cannot be loaded yet");
    return false;
}
