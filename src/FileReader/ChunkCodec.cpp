#include "ChunkCodec.h"

#include <zlib.h>

#include <algorithm>

namespace orvane::hdf5 {

ChunkCodec::ChunkCodec(unsigned workers, int level) : level_(level) {
    for (unsigned i = 0; i < workers; ++i) {
        threads_.emplace_back([this] { work(); });
    }
}

ChunkCodec::~ChunkCodec() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

unsigned ChunkCodec::workersHere() {
    return std::min(std::max(1u, std::thread::hardware_concurrency()), 4u) - 1;
}

void ChunkCodec::run(std::vector<Job>& jobs, bool inflate) {
    std::unique_lock<std::mutex> lock(mutex_);
    inflate_ = inflate;
    jobs_ = &jobs;
    next_ = 0;
    done_ = 0;
    wake_.notify_all();
    while (takeAndDo(lock)) {
    }
    finished_.wait(lock, [&] { return done_ == jobs.size(); });
    jobs_ = nullptr;
}

void ChunkCodec::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || (jobs_ != nullptr && next_ < jobs_->size()); });
        if (stop_) {
            return;
        }
        takeAndDo(lock);
    }
}

// Called and returning with the lock held; false when no job was left.
bool ChunkCodec::takeAndDo(std::unique_lock<std::mutex>& lock) {
    if (jobs_ == nullptr || next_ == jobs_->size()) {
        return false;
    }
    std::vector<Job>& jobs = *jobs_;
    Job& job = jobs[next_++];
    const bool inflating = inflate_;
    lock.unlock();
    if (inflating) {
        inflate(job);
    } else {
        deflate(job);
    }
    lock.lock();
    if (++done_ == jobs.size()) {
        finished_.notify_all();
    }
    return true;
}

// HDF5's shuffle: byte k of every value together, k = 0 .. valueSize - 1.
void ChunkCodec::deflate(Job& job) const {
    const size_t bytes = job.count * job.valueSize;
    const auto* in = static_cast<const uint8_t*>(job.values);
    const uint8_t* source = in;
    if (job.shuffle && job.valueSize > 1) {
        job.shuffled.resize(bytes);
        for (size_t k = 0; k < job.valueSize; ++k) {
            uint8_t* out = job.shuffled.data() + k * job.count;
            for (size_t i = 0; i < job.count; ++i) {
                out[i] = in[i * job.valueSize + k];
            }
        }
        source = job.shuffled.data();
    }
    uLongf size = compressBound(static_cast<uLong>(bytes));
    job.deflated.resize(size);
    job.failed =
        compress2(job.deflated.data(), &size, source, static_cast<uLong>(bytes), level_) != Z_OK;
    job.deflated.resize(job.failed ? 0 : size);
}

void ChunkCodec::inflate(Job& job) {
    const size_t bytes = job.count * job.valueSize;
    const bool shuffled = job.shuffle && job.valueSize > 1;
    if (shuffled) {
        job.shuffled.resize(bytes);
    }
    auto* out = static_cast<uint8_t*>(job.target);
    uLongf size = static_cast<uLongf>(bytes);
    job.failed = uncompress(shuffled ? job.shuffled.data() : out, &size, job.deflated.data(),
                            static_cast<uLong>(job.deflated.size())) != Z_OK ||
                 size != bytes;
    if (job.failed || !shuffled) {
        return;
    }
    for (size_t k = 0; k < job.valueSize; ++k) {
        const uint8_t* in = job.shuffled.data() + k * job.count;
        for (size_t i = 0; i < job.count; ++i) {
            out[i * job.valueSize + k] = in[i];
        }
    }
}

}  // namespace orvane::hdf5
