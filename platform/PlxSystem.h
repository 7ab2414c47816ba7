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

// Installs handler as the fatal-error routine and returns the previous one
// (null while the default routine was in place). Null restores the default routine. Tests install a
// recording handler that returns, so that the code paths after a failed check can be exercised.
GFX_API PlxFatalErrorHandler PlxSetFatalErrorHandler(PlxFatalErrorHandler handler);

// Internal consistency check: on failure calls PlxFatalError with
// "AssertionFailed:" followed by the condition text, the source file and line.
// It is active in every build type: the checks guard invariants of trees that
// hosts keep for a long time, and their cost is negligible.
#define PLX_ASSERT(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            PlxFatalError("AssertionFailed:" #condition, nullptr, nullptr, nullptr, __FILE__,      \
                          __LINE__);                                                               \
    } while (0)

// One character, used to build runs of a repeated character.
class GFX_API PlxUnicodeChar {
public:
    PlxUnicodeChar(char c) : char_(c) {}
    ~PlxUnicodeChar() {}

    char Char() const { return char_; }

private:
    char char_;
};

// A text value. It holds 8-bit text (the library only stores 7-bit ASCII).
// Allocation failures leave the string empty; nothing throws.
class GFX_API PlxUnicodeString {
public:
    PlxUnicodeString();
    PlxUnicodeString(const char* text);
    // count copies of c.
    PlxUnicodeString(const PlxUnicodeChar& c, unsigned int count);
    PlxUnicodeString(const PlxUnicodeString& other);
    PlxUnicodeString& operator=(const PlxUnicodeString& other);
    ~PlxUnicodeString();

    // Non-zero when the text differs from text (null counts as empty text).
    int operator!=(const char* text) const;
    int operator==(const char* text) const;
    int operator!=(const PlxUnicodeString& other) const;
    int operator==(const PlxUnicodeString& other) const;

    // Appends in place and returns the string itself.
    PlxUnicodeString& Append(const PlxUnicodeString& tail);

    // Replace the content with value formatted by the printf-style format.
    // Return the new length, or -1 when the text could not be built (the
    // string is then empty). long is 64 bits here, so the 64-bit overloads
    // take the formats of long ("%ld", "%lu").
    int BuildFromNum(int value, const char* format);
    int BuildFromNum(unsigned int value, const char* format);
    int BuildFromNum(long value, const char* format);
    int BuildFromNum(unsigned long value, const char* format);
    int BuildFromNum(long long value, const char* format);
    int BuildFromNum(unsigned long long value, const char* format);
    int BuildFromNum(double value, const char* format);

    // NUL-terminated text, valid while the string lives unchanged.
    const char* ConvertToChar() const;
    unsigned int Length() const { return length_; }
    bool IsEmpty() const { return length_ == 0; }

private:
    // Takes ownership of text (length characters plus the NUL).
    void Adopt(char* text, unsigned int length);
    template <typename T> int Format(T value, const char* format);

    char* text_;
    unsigned int length_;
};

// Memory handling of PlxRawCollint::RemoveAll and PlxRawCollPV::RemoveAll.
struct PlxCollec {
    enum MemoryHandling {
        KeepMemory = 0,   // keep the storage for later insertions
        ReleaseMemory = 1 // hand the storage back to the heap
    };
};

// Growable sequence of int with 1-based positions (1 .. Size()). Operations
// that add elements return 0 when storage cannot grow; positions out of
// range fail an assertion and change nothing.
class GFX_API PlxRawCollint {
public:
    explicit PlxRawCollint(int initial_capacity = 0);
    PlxRawCollint(const PlxRawCollint& other);
    PlxRawCollint& operator=(const PlxRawCollint& other);
    ~PlxRawCollint();

    int Size() const { return size_; }
    // In-range positions are served inline: the builders index in loops.
    int& operator[](int position) {
        return position >= 1 && position <= size_ ? items_[position - 1] : OutOfRange(position);
    }
    const int& operator[](int position) const {
        return position >= 1 && position <= size_ ? items_[position - 1] : OutOfRange(position);
    }

    // Return the position of the new element, or 0 on failure.
    int Append(int value);
    int InsertAt(int position, int value);
    void RemovePosition(int position);
    // Removes count elements from position on; returns how many were removed.
    int RemovePosition(int position, unsigned int count);
    // Position of the first element equal to value at or after start_position,
    // 0 when there is none.
    int Locate(int value, int start_position = 1) const;
    void RemoveAll(PlxCollec::MemoryHandling handling);

private:
    // Fails the range assertion and returns a spare slot.
    int& OutOfRange(int position) const;

    int* items_;
    int size_;
    int capacity_;
};

// Growable sequence of untyped pointers with 1-based positions. It never owns
// the objects it points to. Same failure conventions as PlxRawCollint.
class GFX_API PlxRawCollPV {
public:
    typedef int (*Comparator)(const void*, const void*);

    explicit PlxRawCollPV(int initial_capacity = 0);
    PlxRawCollPV(const PlxRawCollPV& other);
    PlxRawCollPV& operator=(const PlxRawCollPV& other);
    ~PlxRawCollPV();

    int Size() const { return size_; }
    void*& operator[](int position);
    void* const& operator[](int position) const;

    int Append(void* value);
    int InsertAt(int position, void* value);
    void RemovePosition(int position);
    int RemovePosition(int position, unsigned int count);
    int Locate(const void* value, int start_position = 1) const;
    void RemoveAll(PlxCollec::MemoryHandling handling);

    // Sorts ascending by compare, which receives the stored pointers
    // themselves (not the addresses of their slots).
    void QuickSort(Comparator compare);

private:
    void** items_;
    int size_;
    int capacity_;
};

#endif // PLX_SYSTEM_H
