// HDF5 event files read back column by column, every value checked.

#include "orvane/Hdf5EventReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "ChunkCodec.h"
#include "Hdf5Handle.h"

namespace orvane {

namespace {

using hdf5::Handle;

std::string text(int64_t value) {
    return std::to_string(value);
}

}  // namespace

class Hdf5EventReader::Impl {
  public:
    explicit Impl(const std::string& path) : path_(path) {
        hdf5::QuietErrors quiet;
        if (FILE* probe = std::fopen(path.c_str(), "rb")) {
            std::fclose(probe);
        } else {
            throw std::runtime_error(path + ": cannot be opened (" + std::strerror(errno) + ")");
        }
        if (H5Fis_hdf5(path.c_str()) <= 0) {
            bad("not an HDF5 file");
        }
        file_ = Handle(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
        if (!file_) {
            bad("cannot be opened as HDF5 (" + hdf5::lastError() + ")");
        }
        width_ = geometryAttribute(hdf5::kWidth);
        height_ = geometryAttribute(hdf5::kHeight);
        readHeaderLines();
        x_ = column("events/x", events_, true);
        y_ = column("events/y", events_);
        p_ = column("events/p", events_);
        t_ = column("events/t", events_);
        direct_[0] = directChunks(x_, H5T_NATIVE_UINT16);
        direct_[1] = directChunks(y_, H5T_NATIVE_UINT16);
        direct_[2] = directChunks(p_, H5T_NATIVE_UINT8);
        direct_[3] = directChunks(t_, H5T_NATIVE_INT64);
        if (std::any_of(std::begin(direct_), std::end(direct_),
                        [](const Direct& d) { return d.chunk > 0; })) {
            codec_ = std::make_unique<hdf5::ChunkCodec>(hdf5::ChunkCodec::workersHere(), 0);
        }
        if (exists(hdf5::kTriggersGroup)) {
            triggerT_ = column("triggers/t", triggers_, true);
            triggerP_ = column("triggers/p", triggers_);
            triggerId_ = column("triggers/id", triggers_);
        }
        if (exists(hdf5::kTOffset)) {
            Handle offset(H5Dopen2(file_.get(), hdf5::kTOffset, H5P_DEFAULT), H5Dclose);
            Handle space(H5Dget_space(offset.get()), H5Sclose);
            if (!integers(offset) || H5Sget_simple_extent_npoints(space.get()) != 1 ||
                H5Dread(offset.get(), H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, &offset_) <
                    0) {
                bad("t_offset is not one integer");
            }
        }
        if (exists(hdf5::kMsToIdx)) {
            uint64_t length = 0;
            msToIdx_ = column(hdf5::kMsToIdx, length, true);
            msLength_ = length;
        }
    }

    void readEvents(uint64_t first, uint64_t count, std::vector<Event2D>& out) {
        hdf5::QuietErrors quiet;
        count = first < events_ ? std::min(count, events_ - first) : 0;
        out.resize(count);
        if (count == 0) {
            return;
        }
        x.resize(count);
        y.resize(count);
        p.resize(count);
        t.resize(count);
        jobCount_ = 0;
        readColumn(x_, direct_[0], "events/x", H5T_NATIVE_UINT16, first, count, x.data());
        readColumn(y_, direct_[1], "events/y", H5T_NATIVE_UINT16, first, count, y.data());
        readColumn(p_, direct_[2], "events/p", H5T_NATIVE_UINT8, first, count, p.data());
        readColumn(t_, direct_[3], "events/t", H5T_NATIVE_INT64, first, count, t.data());
        if (jobCount_ > 0) {
            jobs_.resize(jobCount_);
            codec_->run(jobs_, true);
            for (const hdf5::ChunkCodec::Job& job : jobs_) {
                if (job.failed) {
                    bad("has a chunk of events that does not inflate");
                }
            }
        }
        // Sequential reads carry the time order over from the previous block.
        int64_t previous = first == nextEvent_ && first > 0 ? lastTime_ : INT64_MIN;
        for (uint64_t i = 0; i < count; ++i) {
            if (x[i] >= width_ || y[i] >= height_) {
                bad("event " + std::to_string(first + i) + " at (" + text(x[i]) + ", " +
                    text(y[i]) + ") lies outside the " + text(width_) + "x" + text(height_) +
                    " geometry");
            }
            if (p[i] > 1) {
                bad("event " + std::to_string(first + i) + " has polarity " + text(p[i]) +
                    " (0 or 1 expected)");
            }
            if (t[i] < previous) {
                bad("the time goes back at event " + std::to_string(first + i) + " (t " +
                    text(t[i]) + " after " + text(previous) + ")");
            }
            previous = t[i];
            if (t[i] < -offset_) {
                bad("event " + std::to_string(first + i) + " lies before time 0 (t " + text(t[i]) +
                    " with t_offset " + text(offset_) + ")");
            }
            out[i] = Event2D(x[i], y[i], p[i], static_cast<uint64_t>(t[i] + offset_));
        }
        nextEvent_ = first + count;
        lastTime_ = previous;
    }

    void readTriggers(uint64_t first, uint64_t count, std::vector<EventTriggerIn>& out) {
        hdf5::QuietErrors quiet;
        count = first < triggers_ ? std::min(count, triggers_ - first) : 0;
        out.resize(count);
        if (count == 0) {
            return;
        }
        t.resize(count);
        std::vector<uint8_t> level(count);
        std::vector<int64_t> id(count);
        read(triggerT_, "triggers/t", H5T_NATIVE_INT64, first, count, t.data());
        read(triggerP_, "triggers/p", H5T_NATIVE_UINT8, first, count, level.data());
        read(triggerId_, "triggers/id", H5T_NATIVE_INT64, first, count, id.data());
        int64_t previous = first == nextTrigger_ && first > 0 ? lastTriggerTime_ : INT64_MIN;
        for (uint64_t i = 0; i < count; ++i) {
            const std::string which = "trigger edge " + std::to_string(first + i);
            if (level[i] > 1 || id[i] < 0 || id[i] > 15) {
                bad(which + " has level " + text(level[i]) + " on channel " + text(id[i]) +
                    " (0 or 1 on 0..15 expected)");
            }
            if (t[i] < previous) {
                bad("the time goes back at " + which);
            }
            if (t[i] < -offset_) {
                bad(which + " lies before time 0");
            }
            previous = t[i];
            out[i] = EventTriggerIn(static_cast<int16_t>(id[i]), level[i],
                                    static_cast<uint64_t>(t[i] + offset_));
        }
        nextTrigger_ = first + count;
        lastTriggerTime_ = previous;
    }

    std::pair<uint64_t, uint64_t> eventRange(uint64_t from, uint64_t to) {
        hdf5::QuietErrors quiet;
        if (!msToIdx_ || msLength_ == 0) {
            bad("has no ms_to_idx to find times by");
        }
        const uint64_t first = firstAtOrAfter(from);
        return {first, std::max(first, firstAtOrAfter(to))};
    }

    std::string path_;
    uint16_t width_ = 0, height_ = 0;
    int64_t offset_ = 0;
    std::vector<std::string> lines_;
    uint64_t events_ = 0, triggers_ = 0;

  private:
    [[noreturn]] void bad(const std::string& what) const {
        throw std::invalid_argument(path_ + ": " + what);
    }

    bool exists(const char* name) const { return H5Lexists(file_.get(), name, H5P_DEFAULT) > 0; }

    static bool integers(const Handle& dataset) {
        Handle type(H5Dget_type(dataset.get()), H5Tclose);
        return type && H5Tget_class(type.get()) == H5T_INTEGER;
    }

    // A 1-D integer dataset whose length is `length`; the first of its group
    // sets it.
    Handle column(const std::string& name, uint64_t& length, bool first = false) {
        const std::string group = name.substr(0, name.find('/'));
        if (group != name && !exists(group.c_str())) {
            bad("has no " + group + " group (not an event file of the expected layout)");
        }
        if (!exists(name.c_str())) {
            bad("has no dataset " + name + " (not an event file of the expected layout)");
        }
        Handle dataset(H5Dopen2(file_.get(), name.c_str(), H5P_DEFAULT), H5Dclose);
        if (!dataset) {
            bad(name + " is not a dataset");
        }
        if (!integers(dataset)) {
            bad(name + " does not hold integers");
        }
        Handle space(H5Dget_space(dataset.get()), H5Sclose);
        hsize_t size = 0;
        if (H5Sget_simple_extent_ndims(space.get()) != 1 ||
            H5Sget_simple_extent_dims(space.get(), &size, nullptr) < 0) {
            bad(name + " is not one-dimensional");
        }
        if (first) {
            length = size;
        } else if (size != length) {
            bad(name + " holds " + std::to_string(size) + " values where the others of " + group +
                " hold " + std::to_string(length));
        }
        return dataset;
    }

    // A column whose chunks we can inflate ourselves: stored as the memory
    // type, behind deflate alone or shuffle then deflate. `chunk` 0: not one.
    struct Direct {
        hsize_t chunk = 0;
        bool shuffle = false;
    };

    static Direct directChunks(const Handle& dataset, hid_t memoryType) {
        Handle type(H5Dget_type(dataset.get()), H5Tclose);
        Handle properties(H5Dget_create_plist(dataset.get()), H5Pclose);
        Direct direct;
        hsize_t chunk = 0;
        if (!type || !properties || H5Tequal(type.get(), memoryType) <= 0 ||
            H5Pget_layout(properties.get()) != H5D_CHUNKED ||
            H5Pget_chunk(properties.get(), 1, &chunk) != 1 || chunk == 0) {
            return direct;
        }
        const int filters = H5Pget_nfilters(properties.get());
        std::vector<H5Z_filter_t> ids;
        for (int i = 0; i < filters; ++i) {
            unsigned flags = 0, config = 0;
            size_t values = 0;
            ids.push_back(H5Pget_filter2(properties.get(), static_cast<unsigned>(i), &flags,
                                         &values, nullptr, 0, nullptr, &config));
        }
        if (ids == std::vector<H5Z_filter_t>{H5Z_FILTER_DEFLATE}) {
            direct.chunk = chunk;
        } else if (ids == std::vector<H5Z_filter_t>{H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE}) {
            direct.chunk = chunk;
            direct.shuffle = true;
        }
        return direct;
    }

    // Reads the whole chunks inside the range raw, to be inflated on the
    // workers, and the rest through HDF5's own pipeline.
    void readColumn(const Handle& dataset, const Direct& direct, const char* name, hid_t type,
                    uint64_t first, uint64_t count, void* out) {
        const uint64_t chunk = direct.chunk, end = first + count;
        const uint64_t from = chunk ? (first + chunk - 1) / chunk * chunk : 0,
                       to = chunk ? end / chunk * chunk : 0;
        if (from >= to) {
            read(dataset, name, type, first, count, out);
            return;
        }
        const size_t size = H5Tget_size(type);
        auto* bytes = static_cast<uint8_t*>(out);
        if (from > first) {
            read(dataset, name, type, first, from - first, bytes);
        }
        if (end > to) {
            read(dataset, name, type, to, end - to, bytes + (to - first) * size);
        }
        for (hsize_t at = from; at < to; at += chunk) {
            uint8_t* target = bytes + (at - first) * size;
            hsize_t stored = 0;
            uint32_t mask = 0;
            if (jobs_.size() <= jobCount_) {
                jobs_.resize(jobCount_ + 1);
            }
            hdf5::ChunkCodec::Job& job = jobs_[jobCount_];
            if (H5Dget_chunk_storage_size(dataset.get(), &at, &stored) >= 0 && stored > 0) {
                job.deflated.resize(stored);
                if (H5Dread_chunk(dataset.get(), H5P_DEFAULT, &at, &mask, job.deflated.data()) >=
                        0 &&
                    mask == 0) {
                    job.target = target;
                    job.count = chunk;
                    job.valueSize = size;
                    job.shuffle = direct.shuffle;
                    ++jobCount_;
                    continue;
                }
            }
            // Unallocated, or stored with a filter skipped.
            read(dataset, name, type, at, chunk, target);
        }
    }

    void read(const Handle& dataset, const char* name, hid_t type, uint64_t first, uint64_t count,
              void* out) {
        const hsize_t start = first, size = count;
        Handle fileSpace(H5Dget_space(dataset.get()), H5Sclose);
        Handle memorySpace(H5Screate_simple(1, &size, nullptr), H5Sclose);
        if (H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, &start, nullptr, &size, nullptr) <
                0 ||
            H5Dread(dataset.get(), type, memorySpace.get(), fileSpace.get(), H5P_DEFAULT, out) <
                0) {
            bad(std::string(name) + " cannot be read (" + hdf5::lastError() + ")");
        }
    }

    uint16_t geometryAttribute(const char* name) {
        if (H5Aexists(file_.get(), name) <= 0) {
            bad(std::string("has no ") + name + " attribute (the sensor's geometry)");
        }
        Handle attribute(H5Aopen(file_.get(), name, H5P_DEFAULT), H5Aclose);
        Handle space(H5Aget_space(attribute.get()), H5Sclose);
        Handle type(H5Aget_type(attribute.get()), H5Tclose);
        int64_t value = 0;
        if (H5Tget_class(type.get()) != H5T_INTEGER ||
            H5Sget_simple_extent_npoints(space.get()) != 1 ||
            H5Aread(attribute.get(), H5T_NATIVE_INT64, &value) < 0) {
            bad(std::string("its ") + name + " attribute is not one integer");
        }
        // EVT 3.0 addresses 11 bits of columns and rows.
        if (value < 1 || value > 2048) {
            bad(std::string("its ") + name + " of " + text(value) + " is outside 1..2048");
        }
        return static_cast<uint16_t>(value);
    }

    // Variable-length strings as we write them; any other form is no header.
    void readHeaderLines() {
        if (H5Aexists(file_.get(), hdf5::kHeaderLines) <= 0) {
            return;
        }
        Handle attribute(H5Aopen(file_.get(), hdf5::kHeaderLines, H5P_DEFAULT), H5Aclose);
        Handle type(H5Aget_type(attribute.get()), H5Tclose);
        Handle space(H5Aget_space(attribute.get()), H5Sclose);
        if (H5Tget_class(type.get()) != H5T_STRING || H5Tis_variable_str(type.get()) <= 0) {
            return;
        }
        const hssize_t count = H5Sget_simple_extent_npoints(space.get());
        if (count <= 0) {
            return;
        }
        Handle memoryType(H5Tcopy(H5T_C_S1), H5Tclose);
        H5Tset_size(memoryType.get(), H5T_VARIABLE);
        H5Tset_cset(memoryType.get(), H5Tget_cset(type.get()));
        std::vector<char*> strings(static_cast<size_t>(count), nullptr);
        if (H5Aread(attribute.get(), memoryType.get(), strings.data()) < 0) {
            return;
        }
        for (char* line : strings) {
            lines_.emplace_back(line != nullptr ? line : "");
        }
        H5Dvlen_reclaim(memoryType.get(), space.get(), H5P_DEFAULT, strings.data());
    }

    uint64_t msEntry(uint64_t k) {
        uint64_t value = 0;
        read(msToIdx_, "ms_to_idx", H5T_NATIVE_UINT64, k, 1, &value);
        if (value > events_) {
            bad("ms_to_idx[" + std::to_string(k) + "] is " + std::to_string(value) +
                ", beyond the " + std::to_string(events_) + " events");
        }
        return value;
    }

    // The index of the first event at or after `time`, searched among the
    // events of its millisecond.
    uint64_t firstAtOrAfter(uint64_t time) {
        const int64_t rel = static_cast<int64_t>(time) - offset_;
        uint64_t lo = 0, hi = 0;
        if (rel < 0) {
            hi = msEntry(0);
        } else {
            const uint64_t k = static_cast<uint64_t>(rel) / 1000;
            lo = msEntry(std::min(k, msLength_ - 1));
            hi = k + 1 < msLength_ ? msEntry(k + 1) : events_;
        }
        if (hi < lo) {
            bad("ms_to_idx decreases");
        }
        std::vector<int64_t> times(hi - lo);
        if (hi > lo) {
            read(t_, "events/t", H5T_NATIVE_INT64, lo, hi - lo, times.data());
        }
        return lo + static_cast<uint64_t>(std::lower_bound(times.begin(), times.end(), rel) -
                                          times.begin());
    }

    Handle file_, x_, y_, p_, t_, triggerT_, triggerP_, triggerId_, msToIdx_;
    uint64_t msLength_ = 0;
    uint64_t nextEvent_ = 0, nextTrigger_ = 0;
    int64_t lastTime_ = 0, lastTriggerTime_ = 0;
    std::vector<uint16_t> x, y;
    std::vector<uint8_t> p;
    std::vector<int64_t> t;
    Direct direct_[4];  // x, y, p, t
    std::unique_ptr<hdf5::ChunkCodec> codec_;
    std::vector<hdf5::ChunkCodec::Job> jobs_;
    size_t jobCount_ = 0;
};

Hdf5EventReader::Hdf5EventReader(const std::string& path) : impl_(std::make_unique<Impl>(path)) {}

Hdf5EventReader::~Hdf5EventReader() {
    hdf5::QuietErrors quiet;
    impl_.reset();
}

uint16_t Hdf5EventReader::width() const {
    return impl_->width_;
}
uint16_t Hdf5EventReader::height() const {
    return impl_->height_;
}
int64_t Hdf5EventReader::tOffset() const {
    return impl_->offset_;
}
const std::vector<std::string>& Hdf5EventReader::headerLines() const {
    return impl_->lines_;
}
uint64_t Hdf5EventReader::eventCount() const {
    return impl_->events_;
}
uint64_t Hdf5EventReader::triggerCount() const {
    return impl_->triggers_;
}

void Hdf5EventReader::readEvents(uint64_t first, uint64_t count, std::vector<Event2D>& out) {
    impl_->readEvents(first, count, out);
}

void Hdf5EventReader::readTriggers(uint64_t first, uint64_t count,
                                   std::vector<EventTriggerIn>& out) {
    impl_->readTriggers(first, count, out);
}

std::pair<uint64_t, uint64_t> Hdf5EventReader::eventRange(uint64_t from, uint64_t to) {
    return impl_->eventRange(from, to);
}

}  // namespace orvane
