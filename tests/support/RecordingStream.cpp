#include "RecordingStream.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

// Fields a kind does not use stay zero, so every field can be compared.
bool StreamItem::operator==(const StreamItem& other) const {
    return kind == other.kind && i == other.i && u == other.u &&
           std::memcmp(&f, &other.f, sizeof f) == 0 && std::memcmp(&d, &other.d, sizeof d) == 0 &&
           s == other.s;
}

std::string describe(const StreamItem& item) {
    const std::string values[] = {std::to_string(item.i), std::to_string(item.u),
                                  std::to_string(item.f), std::to_string(item.d),
                                  "\"" + item.s + "\""};
    const char* kinds[] = {"int:", "uint:", "float:", "double:", "string:"};
    return kinds[item.kind] + values[item.kind];
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

std::vector<StreamItem> stream_items_from_text(const std::string& text) {
    std::vector<StreamItem> items;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        const char* v = w.c_str() + 2;
        items.push_back(w[0] == 's'   ? StreamItem::String(v)
                        : w[0] == 'u' ? StreamItem::Uint(unsigned(std::strtoul(v, nullptr, 0)))
                        : w[0] == 'i' ? StreamItem::Int(std::atoi(v))
                        : w[0] == 'f' ? StreamItem::Float(std::strtof(v, nullptr))
                                      : StreamItem::Double(std::strtod(v, nullptr)));
    }
    return items;
}
