// Text output of the library's dumps and reports. The host derives from
// gfxJournal and implements write(), the text sink; the base class turns each
// value into text and hands it over in one call.
#ifndef GFX_JOURNAL_H
#define GFX_JOURNAL_H

#include "gfxExport.h"
#include "PlxSystem.h"

class GFX_API gfxJournal {
public:
    // Precision 6, width 0: floating-point values print as "%.6lf".
    gfxJournal();
    virtual ~gfxJournal();

    // For the host's journals; the library never calls it.
    virtual void flush() = 0;

    // Digits after the decimal point of floating-point values (> 0).
    virtual int precision() const;
    // Minimum field width of floating-point values (>= 0). It is used only
    // when it is at least precision() + 2.
    virtual int width() const;
    virtual void set_precision(int p);
    virtual void set_width(int w);

    // The text sink: receives the text of every value written, once per
    // value. text is a temporary that lives only for the call.
    virtual void write(const PlxUnicodeString& text) = 0;

    gfxJournal& operator<<(const PlxUnicodeString& text);
    gfxJournal& operator<<(const char* text);
    gfxJournal& operator<<(char c);
    gfxJournal& operator<<(int value);
    gfxJournal& operator<<(unsigned int value);
    gfxJournal& operator<<(long value);
    gfxJournal& operator<<(unsigned long value);
    gfxJournal& operator<<(long long value);
    gfxJournal& operator<<(unsigned long long value);
    // Formatted with the current precision and width; floats print through it.
    gfxJournal& operator<<(double value);

protected:
    gfxJournal(const gfxJournal& other);
    gfxJournal& operator=(const gfxJournal& other);

private:
    void rebuild_format();

    int precision_;
    int width_;
    PlxUnicodeString format_; // printf format of floating-point values
};

// Writes count blanks in a single call of journal.write().
GFX_API void write_indent(gfxJournal& journal, unsigned int count);
// Columns by which the dumps indent each deeper level.
GFX_API unsigned int indent_step();

#endif // GFX_JOURNAL_H
