// A journal that writes the library's text output to a C++ stream.
#ifndef ZRV_STREAM_JOURNAL_H
#define ZRV_STREAM_JOURNAL_H

#include <gfxJournal.h>

#include <ostream>

namespace zrv {

class StreamJournal : public gfxJournal {
public:
    explicit StreamJournal(std::ostream& out) : out_(out) {}
    void flush() override { out_.flush(); }
    void write(const PlxUnicodeString& text) override { out_ << text.ConvertToChar(); }

private:
    std::ostream& out_;
};

} // namespace zrv

#endif // ZRV_STREAM_JOURNAL_H
