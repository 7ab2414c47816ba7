// Strings, collections, journals and aligned memory.
#include "AllocationFaults.h"
#include "FatalErrorRecorder.h"
#include "PlxFatalErrorCapture.h"
#include "PlxSystem.h"
#include "gfxAlignedMemory.h"
#include "gfxJournal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdint>
#include <random>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <vector>

namespace {

// Checks alignment and the first kept bytes, then fills size bytes.
void CheckAndFill(void* block, unsigned int alignment, unsigned int kept, unsigned int size) {
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u);
    unsigned char* bytes = static_cast<unsigned char*>(block);
    for (unsigned int i = 0; i < kept; ++i)
        ASSERT_EQ(bytes[i], (unsigned char)(i * 7 + 3)) << size << " " << alignment;
    for (unsigned int i = 0; i < size; ++i) // the sanitizer build catches a short block
        bytes[i] = (unsigned char)(i * 7 + 3);
}

// Grown and shrunk by realloc (with wrong old sizes; null allocates).
TEST(AlignedMemory, BlocksKeepAlignmentSizeAndContents) {
    const unsigned int sizes[] = {0, 1, 3, 15, 16, 17, 100, 255, 4096, 65537};
    const unsigned int steps[] = {1, 40, 4000, 24, 24, 70000, 3, 0, 500};
    for (unsigned int alignment : {1, 2, 4, 8, 16, 32, 64, 128, 256, 1024, 4096}) {
        for (unsigned int size : sizes) {
            void* block = gfx_aligned_malloc(size, alignment);
            CheckAndFill(block, alignment, 0, size);
            gfx_aligned_free(block);
        }
        unsigned int size = 10;
        void* block = gfx_aligned_realloc(nullptr, 123, size, alignment);
        CheckAndFill(block, alignment, 0, size);
        for (unsigned int next : steps) {
            block = gfx_aligned_realloc(block, 0xFFFFFFFFu - next, next, alignment);
            CheckAndFill(block, alignment, next < size ? next : size, next);
            size = next;
        }
        gfx_aligned_free(block);
    }
    gfx_aligned_free(nullptr);
    for (unsigned int alignment : {0u, 3u, 48u}) // not powers of two
        EXPECT_EQ(gfx_aligned_malloc(16, alignment), nullptr);
    // Shrinking a large block keeps it in place and hands back its whole
    // pages past the new end.
    const unsigned int big = 8u << 20, page = 4096;
    char* block = static_cast<char*>(gfx_aligned_malloc(big, page));
    ASSERT_NE(block, nullptr);
    std::memset(block, 1, big);
    EXPECT_EQ(gfx_aligned_realloc(block, big, 2 * page, page), block);
    unsigned char resident[3];
    ASSERT_EQ(mincore(block, 3 * page, resident), 0);
    EXPECT_EQ((resident[0] & 1) + (resident[1] & 1) + (resident[2] & 1) * 4, 2);
    gfx_aligned_free(block);
}

std::vector<int> Contents(const PlxRawCollint& collection) {
    std::vector<int> values;
    for (int position = 1; position <= collection.Size(); ++position)
        values.push_back(collection[position]);
    return values;
}

TEST(PlxUnicodeString, ValueSemanticsAppendAndBuildFromNum) {
    PlxUnicodeString empty, token("BEGIN:gfxRTBVH"), copy(token);
    EXPECT_EQ(std::string(empty.ConvertToChar()) + (empty != "" ? "!" : "=") +
                  PlxUnicodeString(PlxUnicodeChar('-'), 4).ConvertToChar(),
              "=----");
    EXPECT_EQ((token != "BEGIN:gfxRTBVH") * 4 + (token != "BEGIN:gfxRTBV") * 2 +
                  (token != "BEGIN:gfxRTBVHX"),
              3);
    token = PlxUnicodeString("ab");
    EXPECT_EQ(&token.Append(PlxUnicodeString("cd")).Append(token), &token);
    EXPECT_EQ(std::string(token.ConvertToChar()) + copy.ConvertToChar(), "abcdabcdBEGIN:gfxRTBVH");

    // BuildFromNum: the text of every overload, and the length returned.
    PlxUnicodeString text("old");
    const auto expect = [&](int length, const std::string& expected) {
        EXPECT_EQ(std::to_string(length) + ":" + text.ConvertToChar(),
                  std::to_string(expected.size()) + ":" + expected);
    };
    expect(text.BuildFromNum(-42, "%d"), "-42");
    expect(text.BuildFromNum(4294967295u, "%u"), "4294967295");
    expect(text.BuildFromNum(LONG_MIN, "%ld"), "-9223372036854775808");
    expect(text.BuildFromNum(ULONG_MAX, "%lu"), "18446744073709551615");
    expect(text.BuildFromNum(LLONG_MAX, "%ld"), "9223372036854775807");
    expect(text.BuildFromNum(ULLONG_MAX, "%lu"), "18446744073709551615");
    expect(text.BuildFromNum(0.125, "%10.3lf"), "     0.125");
    expect(text.BuildFromNum(7, "%64d"), std::string(63, ' ') + "7"); // one past the stack buffer
    expect(text.BuildFromNum(7, ""), "");
    expect(text.BuildFromNum(7, nullptr) + 1, ""); // -1
    // Without room for the text, short or long, the result is -1 too.
    AllocationFaults faults({AllocationFaultRule::ARMING_THREAD, 0, ~std::size_t(0), 0, 2});
    EXPECT_EQ(text.BuildFromNum(-42, "%d") + text.BuildFromNum(7, "%120d"), -2);
    EXPECT_EQ(faults.injected(), 2);
}

// Random edits checked against a vector (positions are one-based).
TEST(PlxRawCollint, RandomEditsMatchAVector) {
    std::mt19937 random(12345);
    PlxRawCollint collection(2);
    std::vector<int> oracle;
    for (int step = 0; step < 20000; ++step) {
        const int value = static_cast<int>(random() % 1000);
        const unsigned int choice = random() % 5;
        const int position = 1 + static_cast<int>(random() % (oracle.size() + 1));
        if (choice == 0 || oracle.empty()) {
            oracle.push_back(value);
            ASSERT_EQ(collection.Append(value), int(oracle.size()));
        } else if (choice == 1) {
            ASSERT_EQ(collection.InsertAt(position, value), position);
            oracle.insert(oracle.begin() + (position - 1), value);
        } else if (choice == 2 && position <= int(oracle.size())) {
            const unsigned int count = random() % 4;
            const int removed = count == 0 ? (collection.RemovePosition(position), 1)
                                           : collection.RemovePosition(position, count);
            ASSERT_EQ(removed, std::min<int>(count == 0 ? 1 : count,
                                             static_cast<int>(oracle.size()) - position + 1));
            oracle.erase(oracle.begin() + (position - 1),
                         oracle.begin() + (position - 1 + removed));
        } else {
            // Searched from a random start position.
            const auto found = std::find(oracle.begin() + (position - 1), oracle.end(), value);
            ASSERT_EQ(collection.Locate(value, position),
                      found == oracle.end() ? 0 : int(found - oracle.begin()) + 1);
        }
    }
    EXPECT_EQ(Contents(collection), oracle);

    PlxRawCollint copy(collection), assigned;
    assigned = collection;
    collection[1] = -1;
    EXPECT_EQ(Contents(copy), Contents(assigned));
    EXPECT_EQ(Contents(assigned), oracle);
    collection.RemoveAll(PlxCollec::ReleaseMemory);
    copy.RemoveAll(PlxCollec::KeepMemory);
    // Out-of-range positions fail assertions and change nothing.
    FatalErrorRecorder recorder;
    PlxRawCollint small(0);
    small.Append(1);
    small.Append(2);
    small[0] = 99;
    small[3] = 99;
    small.RemovePosition(0);
    EXPECT_EQ(small.RemovePosition(3, 1u) + small.InsertAt(4, 99), 0);
    EXPECT_EQ(Contents(small), (std::vector<int>{1, 2}));
    const std::string in_range = "AssertionFailed:position >= 1 && position <= size";
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{in_range, in_range, in_range, in_range,
                                                             in_range + " + 1"}));
    EXPECT_TRUE(EndsWith(recorder.errors()[0].file, "platform/PlxSystem.cpp"));
    // Without memory to be had, only the one that kept its memory appends.
    AllocationFaults none({AllocationFaultRule::ARMING_THREAD, 0, ~std::size_t(0), 0, 9});
    EXPECT_EQ(collection.Append(3) * 10 + copy.Append(4) + copy.Size(), 2);
}

// Captures count reports from any thread, nest, and hand the handler they
// replaced back when the last one ends.
TEST(PlxFatalErrorCapture, CountsReportsWhileAnyLivesThenRestoresTheHandler) {
    FatalErrorRecorder recorder;
    {
        PlxFatalErrorCapture outer;
        EXPECT_FALSE(outer.reported());
        std::thread([] { PlxFatalError("first", nullptr, nullptr, nullptr, "f", 1); }).join();
        EXPECT_TRUE(outer.reported());
        {
            PlxFatalErrorCapture inner;
            EXPECT_FALSE(inner.reported());
            PlxFatalError("second", nullptr, nullptr, nullptr, "f", 2);
            EXPECT_TRUE(inner.reported());
        }
        PlxFatalError("third", nullptr, nullptr, nullptr, "f", 3);
    }
    PlxFatalError("after", nullptr, nullptr, nullptr, "f", 4);
    EXPECT_EQ(recorder.messages(), std::vector<std::string>{"after"});
}

int CompareStoredInts(const void* a, const void* b) {
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

TEST(PlxRawCollPV, QuickSortHandsTheComparatorTheStoredPointers) {
    std::mt19937 random(7);
    for (int count : {0, 2, 17, 1000}) {
        // The same objects, each exactly once, in order of their values.
        std::vector<int> values(count);
        std::vector<int*> expected, seen;
        PlxRawCollPV collection(0);
        for (int& value : values) {
            value = static_cast<int>(random() % 50); // many duplicates
            expected.push_back(&value);
            collection.Append(&value);
        }
        collection.QuickSort(CompareStoredInts);
        for (int position = 1; position <= collection.Size(); ++position)
            seen.push_back(static_cast<int*>(collection[position]));
        EXPECT_TRUE(
            std::is_sorted(seen.begin(), seen.end(), [](int* a, int* b) { return *a < *b; }));
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, expected);
    }
}

// Keeps every text handed to the sink, "|" between calls.
class RecordingJournal : public gfxJournal {
public:
    void flush() override {}
    void write(const PlxUnicodeString& text) override {
        texts += (texts.empty() ? "" : "|") + std::string(text.ConvertToChar());
    }
    std::string print(double value) {
        texts.clear();
        *this << value;
        return texts;
    }
    std::string texts;
};

TEST(Journal, TextsOfValuesPrecisionAndWidth) {
    FatalErrorRecorder recorder;
    RecordingJournal journal;
    // Six decimals and no width by default; floats use the double overload.
    EXPECT_EQ(journal.print(-1.5) + journal.print(0.1f), "-1.5000000.100000");
    journal.set_precision(2);
    journal.set_width(8);
    EXPECT_EQ(journal.print(3.14159), "    3.14");
    EXPECT_EQ(journal.print(2.675), "    2.67"); // the stored binary value rounds down
    journal.set_width(0);
    journal.set_precision(40); // texts longer than any small buffer
    EXPECT_EQ(journal.print(1.0), "1." + std::string(40, '0'));
    journal.set_precision(1);
    journal.set_width(90);
    EXPECT_EQ(journal.print(7.25), std::string(87, ' ') + "7.2");

    // Invalid settings fail assertions and change nothing; a copy keeps them.
    journal.set_precision(2);
    journal.set_width(6);
    journal.set_precision(0);
    journal.set_precision(-3);
    journal.set_width(-1);
    EXPECT_EQ(recorder.messages(),
              (std::vector<std::string>{"AssertionFailed:p > 0", "AssertionFailed:p > 0",
                                        "AssertionFailed:w >= 0"}));
    const RecordedFatalError error = recorder.errors()[0];
    EXPECT_TRUE(EndsWith(error.file, "src/gfxJournal.cpp") && error.line > 0);
    EXPECT_TRUE(error.reserved_arguments_null);
    RecordingJournal copy(journal);
    EXPECT_EQ(copy.print(1.0), "  1.00");
    // One call of the sink per value; integers in decimal, texts as they are.
    journal.texts.clear();
    journal << 4294967295u << -1 << INT_MIN << LONG_MIN << ULONG_MAX << LLONG_MIN << ULLONG_MAX
            << static_cast<std::int64_t>(-5) << static_cast<std::uint64_t>(1) << 0L << "abc" << 'x'
            << PlxUnicodeString("tok=1") << "" << ' ';
    EXPECT_EQ(journal.texts, "4294967295|-1|-2147483648|-9223372036854775808|18446744073709551615|"
                             "-9223372036854775808|18446744073709551615|-5|1|0|abc|x|tok=1|| ");
}

} // namespace
