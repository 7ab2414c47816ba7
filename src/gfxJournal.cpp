#include "gfxJournal.h"

gfxJournal::gfxJournal() : precision_(6), width_(0) {
    rebuild_format();
}

gfxJournal::~gfxJournal() {}

gfxJournal::gfxJournal(const gfxJournal& other)
    : precision_(other.precision_), width_(other.width_), format_(other.format_) {}

gfxJournal& gfxJournal::operator=(const gfxJournal& other) {
    if (this != &other) {
        precision_ = other.precision_;
        width_ = other.width_;
        format_ = other.format_;
    }
    return *this;
}

int gfxJournal::precision() const {
    return precision_;
}

int gfxJournal::width() const {
    return width_;
}

void gfxJournal::set_precision(int p) {
    PLX_ASSERT(p > 0);
    if (p <= 0)
        return;
    precision_ = p;
    rebuild_format();
}

void gfxJournal::set_width(int w) {
    PLX_ASSERT(w >= 0);
    if (w < 0)
        return;
    width_ = w;
    rebuild_format();
}

// "%" [width] "." precision "lf"; a width narrower than precision + 2 could
// never take effect and is left out.
void gfxJournal::rebuild_format() {
    PlxUnicodeString format("%");
    PlxUnicodeString number;
    if (width_ - 2 >= precision_) {
        number.BuildFromNum(width_, "%d");
        format.Append(number);
    }
    format.Append(PlxUnicodeString("."));
    number.BuildFromNum(precision_, "%d");
    format.Append(number);
    format.Append(PlxUnicodeString("lf"));
    format_ = format;
}

namespace {

// Formats value with format and hands the text to the journal's sink.
template <typename Number>
gfxJournal& write_number(gfxJournal& journal, Number value, const char* format) {
    PlxUnicodeString text;
    text.BuildFromNum(value, format);
    journal.write(text);
    return journal;
}

} // namespace

gfxJournal& gfxJournal::operator<<(const PlxUnicodeString& text) {
    write(text);
    return *this;
}

gfxJournal& gfxJournal::operator<<(const char* text) {
    write(PlxUnicodeString(text));
    return *this;
}

gfxJournal& gfxJournal::operator<<(char c) {
    write(PlxUnicodeString(PlxUnicodeChar(c), 1));
    return *this;
}

gfxJournal& gfxJournal::operator<<(int value) {
    return write_number(*this, value, "%d");
}

gfxJournal& gfxJournal::operator<<(unsigned int value) {
    return write_number(*this, value, "%u");
}

gfxJournal& gfxJournal::operator<<(long value) {
    return write_number(*this, value, "%ld");
}

gfxJournal& gfxJournal::operator<<(unsigned long value) {
    return write_number(*this, value, "%lu");
}

gfxJournal& gfxJournal::operator<<(long long value) {
    return write_number(*this, value, "%ld");
}

gfxJournal& gfxJournal::operator<<(unsigned long long value) {
    return write_number(*this, value, "%lu");
}

gfxJournal& gfxJournal::operator<<(double value) {
    PlxUnicodeString text;
    text.BuildFromNum(value, format_.ConvertToChar());
    write(text);
    return *this;
}

void write_indent(gfxJournal& journal, unsigned int count) {
    journal.write(PlxUnicodeString(PlxUnicodeChar(' '), count));
}

unsigned int indent_step() {
    return 3u;
}
