#pragma once

// Shuffles and deflates whole HDF5 chunks on worker threads, producing the
// bytes HDF5's own shuffle and deflate filters would store, so that they can
// be written with H5Dwrite_chunk. The filter pipeline runs on the caller's
// thread alone; this spreads the compression, the bulk of an export, over the
// cores.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace orvane::hdf5 {

class ChunkDeflater {
  public:
    struct Job {
        const void* values = nullptr;
        size_t count = 0;      // values in the chunk
        size_t valueSize = 0;  // bytes per value
        std::vector<uint8_t> shuffled, deflated;
        bool failed = false;
    };

    // `workers` threads besides the caller's, which works too.
    ChunkDeflater(unsigned workers, int level);
    // Stops and joins the workers.
    ~ChunkDeflater();
    ChunkDeflater(const ChunkDeflater&) = delete;
    ChunkDeflater& operator=(const ChunkDeflater&) = delete;

    // Deflates every job; returns when all are done. A job zlib refused has
    // `failed` set.
    void run(std::vector<Job>& jobs);

  private:
    void work();
    bool takeAndDo(std::unique_lock<std::mutex>& lock);
    void deflate(Job& job) const;

    int level_;
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::vector<Job>* jobs_ = nullptr;
    size_t next_ = 0, done_ = 0;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace orvane::hdf5
