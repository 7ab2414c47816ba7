// Base system services used by the library: strings, 1-based collections and
// the fatal-error routine that ends every failed internal consistency check.
#ifndef PLX_SYSTEM_H
#define PLX_SYSTEM_H

#include "gfxExport.h"

// Reports an unrecoverable internal error. The three unnamed text arguments
// are reserved and always null when the library calls it. The installed
// handler decides whether the call returns; the default one prints the
// message, file and line to stderr and aborts.
GFX_API void PlxFatalError(const char* message, const char*, const char*, const char*,
                           const char* file, int line);

// Signature of a fatal-error handler (same arguments as PlxFatalError).
typedef void (*PlxFatalErrorHandler)(const char* message, const char*, const char*, const char*,
                                     const char* file, int line);

// Installs handler as the fatal-error routine and returns the previous one.
// Null restores the default routine. Tests install a recording handler that
// returns, so that the code paths after a failed check can be exercised.
GFX_API PlxFatalErrorHandler PlxSetFatalErrorHandler(PlxFatalErrorHandler handler);

// Internal consistency check: on failure calls PlxFatalError with
// "AssertionFailed:" followed by the condition text, the source file and line.
// It is active in every build type: the checks guard invariants of trees that
// hosts keep for a long time, and their cost is negligible.
#define PLX_ASSERT(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            PlxFatalError("AssertionFailed:" #condition, nullptr, nullptr, nullptr, __FILE__,       \
                          __LINE__);                                                               \
    } while (0)

#endif // PLX_SYSTEM_H
