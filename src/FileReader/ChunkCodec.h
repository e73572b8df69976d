#pragma once

// Shuffles and deflates whole HDF5 chunks on worker threads, producing the
// bytes HDF5's own shuffle and deflate filters would store, so that they can
// be written with H5Dwrite_chunk; and the reverse for chunks read with
// H5Dread_chunk. HDF5 runs its filter pipeline on the caller's thread alone;
// this spreads zlib, the bulk of an export or import, over the cores.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace orvane::hdf5 {

class ChunkCodec {
  public:
    struct Job {
        // Deflating: `values` to `deflated`. Inflating: `deflated` to `target`.
        const void* values = nullptr;
        void* target = nullptr;
        size_t count = 0;      // values in the chunk
        size_t valueSize = 0;  // bytes per value
        bool shuffle = true;
        std::vector<uint8_t> shuffled, deflated;
        bool failed = false;
    };

    // `workers` threads besides the caller's, which works too.
    ChunkCodec(unsigned workers, int level);
    // Stops and joins the workers.
    ~ChunkCodec();
    ChunkCodec(const ChunkCodec&) = delete;
    ChunkCodec& operator=(const ChunkCodec&) = delete;

    // Deflates (or inflates) every job; returns when all are done. A job zlib
    // refused, or whose chunk did not inflate to its size, has `failed` set.
    void run(std::vector<Job>& jobs, bool inflate = false);

    // The workers worth starting besides the caller on this machine.
    static unsigned workersHere();

  private:
    void work();
    bool takeAndDo(std::unique_lock<std::mutex>& lock);
    void deflate(Job& job) const;
    static void inflate(Job& job);

    int level_;
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::vector<Job>* jobs_ = nullptr;
    size_t next_ = 0, done_ = 0;
    bool inflate_ = false, stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace orvane::hdf5
