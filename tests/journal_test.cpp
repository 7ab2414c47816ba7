#include "FatalErrorRecorder.h"
#include "gfxJournal.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Keeps every text handed to the sink, one entry per call.
class RecordingJournal : public gfxJournal {
public:
    RecordingJournal() = default;
    RecordingJournal(const RecordingJournal& other) : gfxJournal(other) {}
    RecordingJournal& operator=(const RecordingJournal& other) {
        gfxJournal::operator=(other);
        return *this;
    }

    void flush() override {}
    void write(const PlxUnicodeString& text) override { texts.push_back(text.ConvertToChar()); }

    // Text of the single call made by the last operation.
    std::string only() const {
        EXPECT_EQ(texts.size(), 1u);
        return texts.empty() ? std::string() : texts.back();
    }
    std::string print(double value) {
        texts.clear();
        *this << value;
        return only();
    }

    std::vector<std::string> texts;
};

TEST(Journal, PrecisionAndWidthShapeDoubles) {
    RecordingJournal journal;
    EXPECT_EQ(journal.print(-1.5), "-1.500000"); // six decimals, no width by default
    EXPECT_EQ(journal.print(0.1f), "0.100000");  // floats go through the double overload
    journal.set_precision(2);
    journal.set_width(8);
    EXPECT_EQ(journal.print(3.14159), "    3.14");
    EXPECT_EQ(journal.print(2.675), "    2.67"); // printf rounding of the stored binary value
    journal.set_precision(3);
    journal.set_width(0);
    EXPECT_EQ(journal.print(0.5), "0.500");

    // Texts longer than any small buffer.
    journal.set_precision(40);
    EXPECT_EQ(journal.print(1.0), "1." + std::string(40, '0'));
    journal.set_precision(1);
    journal.set_width(90);
    EXPECT_EQ(journal.print(7.25), std::string(87, ' ') + "7.2");

    // Copies take the formatting.
    journal.set_precision(2);
    journal.set_width(6);
    RecordingJournal copy(journal), assigned;
    EXPECT_EQ(copy.print(1.0), "  1.00");
    assigned = journal;
    EXPECT_EQ(assigned.print(1.0), "  1.00");
}

TEST(Journal, InvalidPrecisionAndWidthFailAssertionsAndChangeNothing) {
    FatalErrorRecorder recorder;
    RecordingJournal journal;
    journal.set_precision(4);
    journal.set_width(7);

    journal.set_precision(0);
    journal.set_precision(-3);
    journal.set_width(-1);

    EXPECT_EQ(recorder.messages(),
              (std::vector<std::string>{"AssertionFailed:p > 0", "AssertionFailed:p > 0",
                                        "AssertionFailed:w >= 0"}));
    for (const RecordedFatalError& error : recorder.errors()) {
        EXPECT_TRUE(EndsWith(error.file, "src/gfxJournal.cpp")) << error.file;
        EXPECT_GT(error.line, 0);
        EXPECT_TRUE(error.reserved_arguments_null);
    }
    EXPECT_EQ(journal.precision(), 4);
    EXPECT_EQ(journal.width(), 7);
    EXPECT_EQ(journal.print(1.0), " 1.0000");
}

// One call of the sink per value; integers in decimal, texts as they are.
TEST(Journal, ValuesAreHandedOverOneCallEach) {
    RecordingJournal journal;
    journal << 4294967295u << -1 << INT_MIN << LONG_MIN << ULONG_MAX << LLONG_MIN << ULLONG_MAX
            << static_cast<std::int64_t>(-5) << static_cast<std::uint64_t>(1) << 0L << "abc" << 'x'
            << PlxUnicodeString("tok=1") << "" << ' ';
    std::string calls; // each call's text followed by "|"
    for (const std::string& text : journal.texts)
        calls += text + "|";
    EXPECT_EQ(calls, "4294967295|-1|-2147483648|-9223372036854775808|18446744073709551615|"
                     "-9223372036854775808|18446744073709551615|-5|1|0|abc|x|tok=1|| |");
}

} // namespace
