// An in-memory stream: the writer records values and their kinds, the reader
// replays them and notes reads of the wrong kind or past the end.
#ifndef ZRV_TEST_RECORDING_STREAM_H
#define ZRV_TEST_RECORDING_STREAM_H

#include "gfxStream.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

struct StreamItem {
    enum Kind { INT, UINT, FLOAT, DOUBLE, STRING };
    Kind kind = INT;
    int i = 0;
    unsigned int u = 0;
    float f = 0.0f;
    double d = 0.0;
    std::string s;

    static StreamItem Int(int value) { return {INT, value, 0, 0, 0, ""}; }
    static StreamItem Uint(unsigned int value) { return {UINT, 0, value, 0, 0, ""}; }
    static StreamItem Float(float value) { return {FLOAT, 0, 0, value, 0, ""}; }
    static StreamItem Double(double value) { return {DOUBLE, 0, 0, 0, value, ""}; }
    static StreamItem String(const std::string& value) { return {STRING, 0, 0, 0, 0, value}; }
    bool operator==(const StreamItem& other) const; // floats compared bit for bit
};

std::string describe(const StreamItem& item); // e.g. uint:3 or string:"END:gfxRTBVH"

// Items from text: s:token u:unsigned (0x allowed) i:int f:float d:double.
std::vector<StreamItem> stream_items_from_text(const std::string& text);

class RecordingWriter : public gfxStreamWriter {
public:
    void write_int(int value) override { items.push_back(StreamItem::Int(value)); }
    void write_uint(unsigned int value) override { items.push_back(StreamItem::Uint(value)); }
    void write_float(float value) override { items.push_back(StreamItem::Float(value)); }
    void write_double(double value) override { items.push_back(StreamItem::Double(value)); }
    void write_string(const PlxUnicodeString& token) override {
        items.push_back(StreamItem::String(token.ConvertToChar()));
    }

    std::vector<StreamItem> items;
};

class ReplayReader : public gfxStreamReader {
public:
    explicit ReplayReader(std::vector<StreamItem> items) : items_(std::move(items)) {}

    int read_int() override { return next(StreamItem::INT, "read_int").i; }
    unsigned int read_uint() override { return next(StreamItem::UINT, "read_uint").u; }
    float read_float() override { return next(StreamItem::FLOAT, "read_float").f; }
    double read_double() override { return next(StreamItem::DOUBLE, "read_double").d; }
    PlxUnicodeString read_string() override {
        return PlxUnicodeString(next(StreamItem::STRING, "read_string").s.c_str());
    }

    std::size_t position() const { return position_; } // values consumed
    const std::vector<std::string>& faults() const { return faults_; }

private:
    // The next item if written with kind, else a fault and an empty item.
    StreamItem next(StreamItem::Kind kind, const char* operation);

    std::vector<StreamItem> items_;
    std::size_t position_ = 0;
    std::vector<std::string> faults_;
};

// The items object.stream writes; a test failure when it refuses.
template <typename Streamable> std::vector<StreamItem> streamed_items(const Streamable& object) {
    RecordingWriter writer;
    EXPECT_TRUE(object.stream(writer));
    return writer.items;
}

#endif // ZRV_TEST_RECORDING_STREAM_H
