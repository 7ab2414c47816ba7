// Symbol visibility for the library's public interface.
//
// The library is built with hidden visibility; everything a host may call is
// marked GFX_API so that exactly the public classes, functions and constants
// appear in the dynamic symbol table.
#ifndef GFX_EXPORT_H
#define GFX_EXPORT_H

#if defined(_WIN32)
#if defined(ZORVADIDERUVOVOZOV_BUILDING)
#define GFX_API __declspec(dllexport)
#else
#define GFX_API __declspec(dllimport)
#endif
#else
#define GFX_API __attribute__((visibility("default")))
#endif

#endif // GFX_EXPORT_H
