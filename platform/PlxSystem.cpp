// Strings, 1-based collections and the fatal-error routine.
#include "PlxSystem.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------
// Fatal errors

namespace {

std::atomic<PlxFatalErrorHandler> installed_fatal_error_handler{nullptr};

void DefaultFatalErrorHandler(const char* message, const char*, const char*, const char*,
                              const char* file, int line) {
    std::fprintf(stderr, "Fatal error: %s (%s:%d)\n", message ? message : "(no message)",
                 file ? file : "(unknown file)", line);
    std::fflush(stderr);
    std::abort();
}

} // namespace

void PlxFatalError(const char* message, const char* a, const char* b, const char* c,
                   const char* file, int line) {
    PlxFatalErrorHandler handler = installed_fatal_error_handler.load(std::memory_order_acquire);
    if (handler == nullptr)
        handler = DefaultFatalErrorHandler;
    handler(message, a, b, c, file, line);
}

PlxFatalErrorHandler PlxSetFatalErrorHandler(PlxFatalErrorHandler handler) {
    return installed_fatal_error_handler.exchange(handler, std::memory_order_acq_rel);
}

// ---------------------------------------------------------------------------
// PlxUnicodeString

namespace {

// The empty text handed out while a string owns no buffer.
const char empty_text[1] = {'\0'};

char* CopyText(const char* text, unsigned int length) {
    char* copy = new (std::nothrow) char[length + 1u];
    if (copy != nullptr) {
        std::memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

unsigned int TextLength(const char* text) {
    if (text == nullptr)
        return 0;
    const std::size_t length = std::strlen(text);
    return length > UINT_MAX - 1u ? UINT_MAX - 1u : static_cast<unsigned int>(length);
}

} // namespace

PlxUnicodeString::PlxUnicodeString() : text_(nullptr), length_(0) {}

PlxUnicodeString::PlxUnicodeString(const char* text) : text_(nullptr), length_(0) {
    const unsigned int length = TextLength(text);
    if (length > 0)
        Adopt(CopyText(text, length), length);
}

PlxUnicodeString::PlxUnicodeString(const PlxUnicodeChar& c, unsigned int count)
    : text_(nullptr), length_(0) {
    if (count == 0 || count == UINT_MAX)
        return;
    char* text = new (std::nothrow) char[count + 1u];
    if (text == nullptr)
        return;
    std::memset(text, c.Char(), count);
    text[count] = '\0';
    Adopt(text, count);
}

PlxUnicodeString::PlxUnicodeString(const PlxUnicodeString& other) : text_(nullptr), length_(0) {
    if (other.length_ > 0)
        Adopt(CopyText(other.text_, other.length_), other.length_);
}

PlxUnicodeString& PlxUnicodeString::operator=(const PlxUnicodeString& other) {
    if (this != &other)
        Adopt(other.length_ > 0 ? CopyText(other.text_, other.length_) : nullptr, other.length_);
    return *this;
}

PlxUnicodeString::~PlxUnicodeString() {
    delete[] text_;
}

void PlxUnicodeString::Adopt(char* text, unsigned int length) {
    delete[] text_;
    text_ = text;
    length_ = text != nullptr ? length : 0;
}

int PlxUnicodeString::operator!=(const char* text) const {
    return std::strcmp(ConvertToChar(), text ? text : "") != 0;
}

int PlxUnicodeString::operator==(const char* text) const {
    return !(*this != text);
}

int PlxUnicodeString::operator!=(const PlxUnicodeString& other) const {
    return length_ != other.length_ ||
           std::memcmp(ConvertToChar(), other.ConvertToChar(), length_) != 0;
}

int PlxUnicodeString::operator==(const PlxUnicodeString& other) const {
    return !(*this != other);
}

PlxUnicodeString& PlxUnicodeString::Append(const PlxUnicodeString& tail) {
    if (tail.length_ == 0)
        return *this;
    if (tail.length_ > UINT_MAX - 1u - length_)
        return *this;
    const unsigned int length = length_ + tail.length_;
    char* text = new (std::nothrow) char[length + 1u];
    if (text == nullptr)
        return *this;
    std::memcpy(text, ConvertToChar(), length_);
    // tail may be this string itself: copy from it before releasing the old text.
    std::memcpy(text + length_, tail.ConvertToChar(), tail.length_);
    text[length] = '\0';
    Adopt(text, length);
    return *this;
}

template <typename T> int PlxUnicodeString::Format(T value, const char* format) {
    Adopt(nullptr, 0);
    if (format == nullptr)
        return -1;
    char small[64];
    const int needed = std::snprintf(small, sizeof small, format, value);
    if (needed < 0)
        return -1;
    const unsigned int length = static_cast<unsigned int>(needed);
    if (length < sizeof small) {
        if (length > 0)
            Adopt(CopyText(small, length), length);
    } else {
        char* text = new (std::nothrow) char[length + 1u];
        if (text == nullptr)
            return -1;
        std::snprintf(text, length + 1u, format, value);
        Adopt(text, length);
    }
    return static_cast<int>(length_) == needed ? needed : -1;
}

int PlxUnicodeString::BuildFromNum(int value, const char* format) {
    return Format(value, format);
}

int PlxUnicodeString::BuildFromNum(unsigned int value, const char* format) {
    return Format(value, format);
}

int PlxUnicodeString::BuildFromNum(long value, const char* format) {
    return Format(value, format);
}

int PlxUnicodeString::BuildFromNum(unsigned long value, const char* format) {
    return Format(value, format);
}

// The callers hand these the formats of long, which has the same 64-bit
// representation here, so the value travels as long.
static_assert(sizeof(long) == sizeof(long long), "64-bit long expected");

int PlxUnicodeString::BuildFromNum(long long value, const char* format) {
    return Format(static_cast<long>(value), format);
}

int PlxUnicodeString::BuildFromNum(unsigned long long value, const char* format) {
    return Format(static_cast<unsigned long>(value), format);
}

int PlxUnicodeString::BuildFromNum(double value, const char* format) {
    return Format(value, format);
}

const char* PlxUnicodeString::ConvertToChar() const {
    return text_ != nullptr ? text_ : empty_text;
}

// ---------------------------------------------------------------------------
// Collections. Both keep a heap array, its element count and its capacity;
// the helpers below work on either element type.

namespace {

template <typename T> T* AllocateItems(int capacity) {
    return capacity > 0 ? new (std::nothrow) T[capacity] : nullptr;
}

// Makes room for at least needed elements, doubling the capacity.
template <typename T> bool Reserve(T*& items, int size, int& capacity, int needed) {
    if (needed <= capacity)
        return true;
    long long grown = capacity > 0 ? 2LL * capacity : 8LL;
    if (grown < needed)
        grown = needed;
    if (grown > INT_MAX)
        grown = INT_MAX;
    T* larger = AllocateItems<T>(static_cast<int>(grown));
    if (larger == nullptr)
        return false;
    if (size > 0)
        std::memcpy(larger, items, sizeof(T) * static_cast<std::size_t>(size));
    delete[] items;
    items = larger;
    capacity = static_cast<int>(grown);
    return true;
}

template <typename T>
void CopyItems(T*& items, int& size, int& capacity, const T* from, int count) {
    T* copy = AllocateItems<T>(count);
    if (copy != nullptr)
        std::memcpy(copy, from, sizeof(T) * static_cast<std::size_t>(count));
    delete[] items;
    items = copy;
    size = copy != nullptr ? count : 0;
    capacity = size;
}

bool ValidPosition(int position, int size) {
    PLX_ASSERT(position >= 1 && position <= size);
    return position >= 1 && position <= size;
}

template <typename T> int InsertItem(T*& items, int& size, int& capacity, int position, T value) {
    PLX_ASSERT(position >= 1 && position <= size + 1);
    if (position < 1 || position > size + 1 || size == INT_MAX)
        return 0;
    if (!Reserve(items, size, capacity, size + 1))
        return 0;
    std::memmove(items + position, items + position - 1,
                 sizeof(T) * static_cast<std::size_t>(size - position + 1));
    items[position - 1] = value;
    ++size;
    return position;
}

template <typename T> int RemoveItems(T* items, int& size, int position, unsigned int count) {
    if (count == 0 || !ValidPosition(position, size))
        return 0;
    const int available = size - position + 1;
    const int removed =
        count < static_cast<unsigned int>(available) ? static_cast<int>(count) : available;
    std::memmove(items + position - 1, items + position - 1 + removed,
                 sizeof(T) * static_cast<std::size_t>(available - removed));
    size -= removed;
    return removed;
}

template <typename T> int LocateItem(const T* items, int size, T value, int start_position) {
    for (int position = start_position < 1 ? 1 : start_position; position <= size; ++position)
        if (items[position - 1] == value)
            return position;
    return 0;
}

template <typename T>
void RemoveAllItems(T*& items, int& size, int& capacity, PlxCollec::MemoryHandling handling) {
    size = 0;
    if (handling == PlxCollec::ReleaseMemory) {
        delete[] items;
        items = nullptr;
        capacity = 0;
    }
}

// Target of element access at an invalid position, after the assertion.
thread_local int spare_int;
thread_local void* spare_pointer;

} // namespace

PlxRawCollint::PlxRawCollint(int initial_capacity)
    : items_(AllocateItems<int>(initial_capacity)), size_(0),
      capacity_(items_ != nullptr ? initial_capacity : 0) {}

PlxRawCollint::PlxRawCollint(const PlxRawCollint& other) : items_(nullptr), size_(0), capacity_(0) {
    CopyItems(items_, size_, capacity_, other.items_, other.size_);
}

PlxRawCollint& PlxRawCollint::operator=(const PlxRawCollint& other) {
    if (this != &other)
        CopyItems(items_, size_, capacity_, other.items_, other.size_);
    return *this;
}

PlxRawCollint::~PlxRawCollint() {
    delete[] items_;
}

int& PlxRawCollint::OutOfRange(int position) const {
    ValidPosition(position, size_);
    return spare_int;
}

int PlxRawCollint::Append(int value) {
    return InsertItem(items_, size_, capacity_, size_ + 1, value);
}

int PlxRawCollint::InsertAt(int position, int value) {
    return InsertItem(items_, size_, capacity_, position, value);
}

void PlxRawCollint::RemovePosition(int position) {
    RemoveItems(items_, size_, position, 1u);
}

int PlxRawCollint::RemovePosition(int position, unsigned int count) {
    return RemoveItems(items_, size_, position, count);
}

int PlxRawCollint::Locate(int value, int start_position) const {
    return LocateItem(items_, size_, value, start_position);
}

void PlxRawCollint::RemoveAll(PlxCollec::MemoryHandling handling) {
    RemoveAllItems(items_, size_, capacity_, handling);
}

PlxRawCollPV::PlxRawCollPV(int initial_capacity)
    : items_(AllocateItems<void*>(initial_capacity)), size_(0),
      capacity_(items_ != nullptr ? initial_capacity : 0) {}

PlxRawCollPV::PlxRawCollPV(const PlxRawCollPV& other) : items_(nullptr), size_(0), capacity_(0) {
    CopyItems(items_, size_, capacity_, other.items_, other.size_);
}

PlxRawCollPV& PlxRawCollPV::operator=(const PlxRawCollPV& other) {
    if (this != &other)
        CopyItems(items_, size_, capacity_, other.items_, other.size_);
    return *this;
}

PlxRawCollPV::~PlxRawCollPV() {
    delete[] items_;
}

void*& PlxRawCollPV::operator[](int position) {
    return ValidPosition(position, size_) ? items_[position - 1] : spare_pointer;
}

void* const& PlxRawCollPV::operator[](int position) const {
    return ValidPosition(position, size_) ? items_[position - 1] : spare_pointer;
}

int PlxRawCollPV::Append(void* value) {
    return InsertItem(items_, size_, capacity_, size_ + 1, value);
}

int PlxRawCollPV::InsertAt(int position, void* value) {
    return InsertItem(items_, size_, capacity_, position, value);
}

void PlxRawCollPV::RemovePosition(int position) {
    RemoveItems(items_, size_, position, 1u);
}

int PlxRawCollPV::RemovePosition(int position, unsigned int count) {
    return RemoveItems(items_, size_, position, count);
}

int PlxRawCollPV::Locate(const void* value, int start_position) const {
    return LocateItem(const_cast<const void* const*>(items_), size_, value, start_position);
}

void PlxRawCollPV::RemoveAll(PlxCollec::MemoryHandling handling) {
    RemoveAllItems(items_, size_, capacity_, handling);
}

void PlxRawCollPV::QuickSort(Comparator compare) {
    if (compare == nullptr || size_ < 2)
        return;
    std::sort(items_, items_ + size_,
              [compare](const void* a, const void* b) { return compare(a, b) < 0; });
}
