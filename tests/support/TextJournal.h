// A journal that keeps everything written to it as one text, for comparing
// reports and dumps with their expected texts.
#ifndef ZRV_TEST_TEXT_JOURNAL_H
#define ZRV_TEST_TEXT_JOURNAL_H

#include "gfxJournal.h"

#include <sstream>
#include <string>
#include <vector>

class TextJournal : public gfxJournal {
public:
    void flush() override {}
    void write(const PlxUnicodeString& text) override {
        this->text += text.ConvertToChar();
        ++writes;
    }

    // The text split at line ends; a final line end ends the last line.
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

    std::string text;
    int writes = 0;
};

#endif // ZRV_TEST_TEXT_JOURNAL_H
