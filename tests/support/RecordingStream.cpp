#include "RecordingStream.h"

#include <cstring>

StreamItem StreamItem::Int(int value) {
    StreamItem item;
    item.kind = INT;
    item.i = value;
    return item;
}

StreamItem StreamItem::Uint(unsigned int value) {
    StreamItem item;
    item.kind = UINT;
    item.u = value;
    return item;
}

StreamItem StreamItem::Float(float value) {
    StreamItem item;
    item.kind = FLOAT;
    item.f = value;
    return item;
}

StreamItem StreamItem::Double(double value) {
    StreamItem item;
    item.kind = DOUBLE;
    item.d = value;
    return item;
}

StreamItem StreamItem::String(const std::string& value) {
    StreamItem item;
    item.kind = STRING;
    item.s = value;
    return item;
}

bool StreamItem::operator==(const StreamItem& other) const {
    if (kind != other.kind)
        return false;
    switch (kind) {
    case INT:
        return i == other.i;
    case UINT:
        return u == other.u;
    case FLOAT:
        return std::memcmp(&f, &other.f, sizeof f) == 0;
    case DOUBLE:
        return std::memcmp(&d, &other.d, sizeof d) == 0;
    case STRING:
        return s == other.s;
    }
    return false;
}

std::string describe(const StreamItem& item) {
    switch (item.kind) {
    case StreamItem::INT:
        return "int:" + std::to_string(item.i);
    case StreamItem::UINT:
        return "uint:" + std::to_string(item.u);
    case StreamItem::FLOAT:
        return "float:" + std::to_string(item.f);
    case StreamItem::DOUBLE:
        return "double:" + std::to_string(item.d);
    case StreamItem::STRING:
        return "string:\"" + item.s + "\"";
    }
    return "?";
}

const StreamItem* ReplayReader::next(StreamItem::Kind kind, const char* operation) {
    if (position_ >= items_.size()) {
        faults_.push_back(std::string(operation) + " past the end");
        return nullptr;
    }
    const StreamItem& item = items_[position_++];
    if (item.kind != kind) {
        faults_.push_back(std::string(operation) + " at " + std::to_string(position_ - 1) +
                          " read " + describe(item));
        return nullptr;
    }
    return &item;
}

int ReplayReader::read_int() {
    const StreamItem* item = next(StreamItem::INT, "read_int");
    return item ? item->i : 0;
}

unsigned int ReplayReader::read_uint() {
    const StreamItem* item = next(StreamItem::UINT, "read_uint");
    return item ? item->u : 0u;
}

float ReplayReader::read_float() {
    const StreamItem* item = next(StreamItem::FLOAT, "read_float");
    return item ? item->f : 0.0f;
}

double ReplayReader::read_double() {
    const StreamItem* item = next(StreamItem::DOUBLE, "read_double");
    return item ? item->d : 0.0;
}

PlxUnicodeString ReplayReader::read_string() {
    const StreamItem* item = next(StreamItem::STRING, "read_string");
    return PlxUnicodeString(item ? item->s.c_str() : "");
}
