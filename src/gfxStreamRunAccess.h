// The library's side of the run operations (include/gfxStreamRuns.h): runs
// through the reader's or writer's own run operations when it has them, value
// by value otherwise, and cursors that move a long run in pieces through a
// buffer on the stack.
#ifndef GFX_STREAM_RUN_ACCESS_H
#define GFX_STREAM_RUN_ACCESS_H

#include "gfxStream.h"
#include "gfxStreamRuns.h"

#include <cstddef>

namespace gfx_detail {

class RunReader {
public:
    explicit RunReader(gfxStreamReader& reader)
        : reader_(reader), runs_(dynamic_cast<gfxStreamRunReader*>(&reader)) {}

    void read(int* values, std::size_t count) {
        if (runs_ != nullptr)
            runs_->read_ints(values, count);
        else
            for (std::size_t i = 0; i < count; ++i)
                values[i] = reader_.read_int();
    }
    void read(unsigned int* values, std::size_t count) {
        if (runs_ != nullptr)
            runs_->read_uints(values, count);
        else
            for (std::size_t i = 0; i < count; ++i)
                values[i] = reader_.read_uint();
    }
    void read(float* values, std::size_t count) {
        if (runs_ != nullptr)
            runs_->read_floats(values, count);
        else
            for (std::size_t i = 0; i < count; ++i)
                values[i] = reader_.read_float();
    }

private:
    gfxStreamReader& reader_;
    gfxStreamRunReader* runs_;
};

class RunWriter {
public:
    explicit RunWriter(gfxStreamWriter& writer)
        : writer_(writer), runs_(dynamic_cast<gfxStreamRunWriter*>(&writer)) {}

    void write(const int* values, std::size_t count) {
        if (runs_ != nullptr)
            runs_->write_ints(values, count);
        else
            for (std::size_t i = 0; i < count; ++i)
                writer_.write_int(values[i]);
    }
    void write(const unsigned int* values, std::size_t count) {
        if (runs_ != nullptr)
            runs_->write_uints(values, count);
        else
            for (std::size_t i = 0; i < count; ++i)
                writer_.write_uint(values[i]);
    }
    void write(const float* values, std::size_t count) {
        if (runs_ != nullptr)
            runs_->write_floats(values, count);
        else
            for (std::size_t i = 0; i < count; ++i)
                writer_.write_float(values[i]);
    }

private:
    gfxStreamWriter& writer_;
    gfxStreamRunWriter* runs_;
};

// Records of RECORD values of type T, records of them in a run: each
// next() is the following record (or records), read with the pieces before
// it.
template <typename T, unsigned int RECORD> class RunCursor {
public:
    static const unsigned int PIECE = 256; // records

    RunCursor(RunReader& reader, unsigned long long records) : reader_(reader), left_(records) {}
    RunCursor(const RunCursor&) = delete;
    RunCursor& operator=(const RunCursor&) = delete;

    // The next count records (at most PIECE), side by side. Not to be asked
    // for more records than the run holds.
    const T* next(unsigned int count = 1) {
        if (filled_ - at_ < count * RECORD)
            refill();
        const T* records = buffer_ + at_;
        at_ += count * RECORD;
        return records;
    }

private:
    // Moves the values not handed out yet to the front and reads behind them.
    void refill() {
        const unsigned int kept = filled_ - at_;
        for (unsigned int i = 0; i < kept; ++i)
            buffer_[i] = buffer_[at_ + i];
        const unsigned int room = PIECE - kept / RECORD;
        const unsigned int records = left_ < room ? unsigned(left_) : room;
        reader_.read(buffer_ + kept, std::size_t(records) * RECORD);
        left_ -= records;
        filled_ = kept + records * RECORD;
        at_ = 0;
    }

    RunReader& reader_;
    unsigned long long left_;
    unsigned int at_ = 0, filled_ = 0;
    T buffer_[PIECE * RECORD];
};

// The writing side: put() appends a record, written in pieces; the last
// piece goes out with finish() or when the sink ends.
template <typename T, unsigned int RECORD> class RunSink {
public:
    explicit RunSink(RunWriter& writer) : writer_(writer) {}
    ~RunSink() { finish(); }
    RunSink(const RunSink&) = delete;
    RunSink& operator=(const RunSink&) = delete;

    // Room for the next record, which the caller fills.
    T* put() {
        if (filled_ == PIECE * RECORD)
            finish();
        T* record = buffer_ + filled_;
        filled_ += RECORD;
        return record;
    }
    void finish() {
        if (filled_ != 0)
            writer_.write(buffer_, filled_);
        filled_ = 0;
    }

private:
    static const unsigned int PIECE = 256;

    RunWriter& writer_;
    unsigned int filled_ = 0;
    T buffer_[PIECE * RECORD];
};

} // namespace gfx_detail

#endif // GFX_STREAM_RUN_ACCESS_H
