// Raw recording: staging on the acquisition thread, writing on a thread of its own.
#include "camera/RawRecorder.h"

#include <stdexcept>

#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/RawRecorder";
}  // namespace

RawRecorder::RawRecorder(std::string owner, uint64_t handOverBytes, size_t poolBuffers)
    : owner_(std::move(owner)), handOverBytes_(handOverBytes), poolBuffers_(poolBuffers) {}

RawRecorder::~RawRecorder() {
    try {
        stop();
    } catch (const std::exception& e) {
        ORVANE_LOG(LOG_ERROR, "Camera %s: %s while closing the recording", owner_.c_str(),
                   e.what());
    }
}

int RawRecorder::start(const std::string& path, const std::string& header) {
    if (recording_) {
        ORVANE_LOG(LOG_INFO, "Do not save again while saving.");
        return -1;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file.is_open()) {
        throw std::runtime_error("Unable to open " + path + " for writing");
    }
    file_ = std::move(file);
    path_ = path;
    writeFailures_ = 0;
    write(reinterpret_cast<const uint8_t*>(header.data()), header.size());
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        pool_ = std::make_unique<ObjectPool<std::vector<uint8_t>, 1>>(poolBuffers_, false,
                                                                      handOverBytes_);
        staging_ = pool_->acquire();
        staging_->clear();
        queue_.clear();
        recording_.exchange(true);
    }
    writer_ = std::thread(&RawRecorder::writerLoop, this);
    return 0;
}

void RawRecorder::append(const std::vector<uint8_t>& buffer) {
    std::lock_guard<std::mutex> state(stateMutex_);
    if (!recording_ || !staging_) {
        return;  // stop came first
    }
    staging_->insert(staging_->end(), buffer.begin(), buffer.end());
    if (staging_->size() > handOverBytes_) {
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            queue_.push_back(staging_);
        }
        queued_.notify_one();
        staging_ = pool_->acquire();
        staging_->clear();
    }
}

void RawRecorder::writerLoop() {
    std::unique_lock<std::mutex> lock(queueMutex_);
    while (true) {
        queued_.wait(lock, [this] { return !queue_.empty() || !recording_; });
        while (!queue_.empty()) {
            auto buffer = std::move(queue_.front());
            queue_.pop_front();
            // The acquisition thread may queue the next buffer while this one is written.
            lock.unlock();
            write(buffer->data(), buffer->size());
            buffer.reset();  // back to the pool
            lock.lock();
        }
        if (!recording_) {
            return;
        }
    }
}

void RawRecorder::write(const uint8_t* data, uint64_t size) {
    file_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!file_) {
        if (writeFailures_++ == 0) {
            ORVANE_LOG(LOG_ERROR,
                       "Recording %s: writing failed (disk full or I/O error); the "
                       "recording misses data",
                       path_.c_str());
        }
        file_.clear();  // later buffers are still tried, and counted when they fail
    }
}

int RawRecorder::stop() {
    if (!recording_) {
        return 0;
    }
    {
        // The acquisition thread is not inside append past this point.
        std::lock_guard<std::mutex> state(stateMutex_);
        std::lock_guard<std::mutex> lock(queueMutex_);
        recording_.exchange(false);
        // What arrived since the last hand-over is written too.
        if (staging_ && !staging_->empty()) {
            queue_.push_back(staging_);
        }
        staging_.reset();
    }
    queued_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    file_.close();
    if (writeFailures_ > 0) {
        ORVANE_LOG(LOG_ERROR, "Recording %s: %llu writes failed; the file misses data",
                   path_.c_str(), static_cast<unsigned long long>(writeFailures_.load()));
    }
    std::lock_guard<std::mutex> state(stateMutex_);
    pool_.reset();
    return 0;
}

}  // namespace orvane
