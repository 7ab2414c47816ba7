#include "FatalErrorRecorder.h"
#include "PlxSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<int> Contents(const PlxRawCollint& collection) {
    std::vector<int> values;
    for (int position = 1; position <= collection.Size(); ++position)
        values.push_back(collection[position]);
    return values;
}

TEST(PlxUnicodeString, ValueSemanticsComparisonAndAppend) {
    PlxUnicodeString empty;
    EXPECT_STREQ(empty.ConvertToChar(), "");
    EXPECT_EQ(empty != "", 0);
    EXPECT_STREQ(PlxUnicodeString(PlxUnicodeChar('-'), 4).ConvertToChar(), "----");

    PlxUnicodeString token("BEGIN:gfxRTBVH");
    EXPECT_EQ(token != "BEGIN:gfxRTBVH", 0);
    EXPECT_NE(token != "BEGIN:gfxRTBV", 0);
    EXPECT_NE(token != "BEGIN:gfxRTBVHX", 0);
    PlxUnicodeString copy(token);
    token = PlxUnicodeString("ab");
    EXPECT_STREQ(copy.ConvertToChar(), "BEGIN:gfxRTBVH");

    PlxUnicodeString& result = token.Append(PlxUnicodeString("cd"));
    EXPECT_EQ(&result, &token);
    token.Append(token);
    EXPECT_STREQ(token.ConvertToChar(), "abcdabcd");
}

// The text of every overload, and the length returned (-1 without a format).
TEST(PlxUnicodeString, BuildFromNumFormatsEveryWidth) {
    PlxUnicodeString text("old");
    const auto expect = [&](int length, const std::string& expected) {
        EXPECT_EQ(length, int(expected.size())) << expected;
        EXPECT_EQ(std::string(text.ConvertToChar()), expected);
    };
    expect(text.BuildFromNum(-42, "%d"), "-42");
    expect(text.BuildFromNum(4294967295u, "%u"), "4294967295");
    expect(text.BuildFromNum(LONG_MIN, "%ld"), "-9223372036854775808");
    expect(text.BuildFromNum(ULONG_MAX, "%lu"), "18446744073709551615");
    expect(text.BuildFromNum(LLONG_MAX, "%ld"), "9223372036854775807");
    expect(text.BuildFromNum(ULLONG_MAX, "%lu"), "18446744073709551615");
    expect(text.BuildFromNum(0.125, "%10.3lf"), "     0.125");
    expect(text.BuildFromNum(7, "%120d"), std::string(119, ' ') + "7");
    EXPECT_EQ(text.BuildFromNum(7, nullptr), -1);
    EXPECT_STREQ(text.ConvertToChar(), "");
}

// Random edits checked against a vector; positions are one-based, InsertAt
// at Size + 1 appends and RemovePosition clips its count at the end.
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
    EXPECT_EQ(Contents(copy), oracle);
    EXPECT_EQ(Contents(assigned), oracle);
    collection.RemoveAll(PlxCollec::ReleaseMemory);
    copy.RemoveAll(PlxCollec::KeepMemory);
    EXPECT_EQ(collection.Size() + copy.Size(), 0);
    EXPECT_EQ(collection.Append(3), 1);
    EXPECT_EQ(copy.Append(4), 1);
}

TEST(PlxRawCollint, OutOfRangePositionsFailAssertionsAndChangeNothing) {
    FatalErrorRecorder recorder;
    PlxRawCollint collection(0);
    collection.Append(1);
    collection.Append(2);
    collection[0] = 99;
    collection[3] = 99;
    collection.RemovePosition(0);
    EXPECT_EQ(collection.RemovePosition(3, 1u), 0);
    EXPECT_EQ(collection.InsertAt(4, 99), 0);
    EXPECT_EQ(Contents(collection), (std::vector<int>{1, 2}));

    const std::vector<RecordedFatalError> errors = recorder.errors();
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_EQ(errors[0].message, "AssertionFailed:position >= 1 && position <= size");
    EXPECT_EQ(errors[4].message, "AssertionFailed:position >= 1 && position <= size + 1");
    EXPECT_TRUE(EndsWith(errors[0].file, "platform/PlxSystem.cpp")) << errors[0].file;
}

int CompareStoredInts(const void* a, const void* b) {
    const int left = *static_cast<const int*>(a);
    const int right = *static_cast<const int*>(b);
    return left < right ? -1 : left > right ? 1 : 0;
}

TEST(PlxRawCollPV, QuickSortHandsTheComparatorTheStoredPointers) {
    std::mt19937 random(7);
    for (int count : {0, 1, 2, 17, 1000}) {
        std::vector<int> values(count);
        for (int& value : values)
            value = static_cast<int>(random() % 50); // many duplicates
        PlxRawCollPV collection(0);
        for (std::size_t i = 0; i < values.size(); ++i)
            ASSERT_EQ(collection.Append(&values[i]), static_cast<int>(i) + 1);
        collection.QuickSort(CompareStoredInts);

        std::vector<int> expected = values;
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(collection.Size(), count);
        std::vector<void*> seen;
        for (int position = 1; position <= count; ++position) {
            EXPECT_EQ(*static_cast<int*>(collection[position]), expected[position - 1]);
            seen.push_back(collection[position]);
        }
        // The same objects, each exactly once.
        std::sort(seen.begin(), seen.end());
        EXPECT_TRUE(std::adjacent_find(seen.begin(), seen.end()) == seen.end());
    }
    // Edits are one-based and never touch the pointees.
    int a = 1, b = 2, c = 3;
    PlxRawCollPV collection(0);
    collection.Append(&a);
    collection.Append(&c);
    EXPECT_EQ(collection.InsertAt(2, &b), 2);
    EXPECT_EQ(collection.Locate(&c, 1), 3);
    EXPECT_EQ(collection.RemovePosition(1, 2u), 2);
    EXPECT_EQ(collection[1], &c);
    collection.RemoveAll(PlxCollec::ReleaseMemory);
    EXPECT_EQ(collection.Size(), 0);
    EXPECT_EQ(a + b + c, 6);
}

void IgnoreFatalError(const char*, const char*, const char*, const char*, const char*, int) {}

TEST(PlxFatalError, HandlerSwapReturnsThePreviousHandler) {
    EXPECT_EQ(PlxSetFatalErrorHandler(IgnoreFatalError), nullptr);
    PlxFatalError("ignored", nullptr, nullptr, nullptr, "x.cpp", 1);
    EXPECT_EQ(PlxSetFatalErrorHandler(nullptr), &IgnoreFatalError);
}

TEST(PlxFatalErrorDeathTest, DefaultHandlerReportsAndAborts) {
    EXPECT_DEATH(PlxFatalError("AssertionFailed:x", nullptr, nullptr, nullptr, "src/a.cpp", 42),
                 "AssertionFailed:x.*src/a\\.cpp.*42");
}

} // namespace
