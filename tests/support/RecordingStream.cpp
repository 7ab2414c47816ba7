#include "RecordingStream.h"

#include <cstring>

// Fields a kind does not use stay zero, so every field can be compared.
bool StreamItem::operator==(const StreamItem& other) const {
    return kind == other.kind && i == other.i && u == other.u &&
           std::memcmp(&f, &other.f, sizeof f) == 0 && std::memcmp(&d, &other.d, sizeof d) == 0 &&
           s == other.s;
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

StreamItem ReplayReader::next(StreamItem::Kind kind, const char* operation) {
    if (position_ >= items_.size()) {
        faults_.push_back(std::string(operation) + " past the end");
        return StreamItem();
    }
    const StreamItem& item = items_[position_++];
    if (item.kind == kind)
        return item;
    faults_.push_back(std::string(operation) + " at " + std::to_string(position_ - 1) + " read " +
                      describe(item));
    return StreamItem();
}
