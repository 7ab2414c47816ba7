// A journal that keeps everything written to it as one text.
#ifndef ZRV_TEST_TEXT_JOURNAL_H
#define ZRV_TEST_TEXT_JOURNAL_H

#include "gfxJournal.h"

#include <string>

class TextJournal : public gfxJournal {
public:
    void flush() override {}
    void write(const PlxUnicodeString& text) override { this->text += text.ConvertToChar(); }

    std::string text;
};

#endif // ZRV_TEST_TEXT_JOURNAL_H
