// Raw recording: staging on the acquisition thread, writing on a thread of its own.
#include "camera/RawRecorder.h"

#include <stdexcept>

#include "orvane/base/Logger.h"
#include "orvane/hal/Evt3StateWords.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/RawRecorder";
constexpr unsigned kEvt3TimeBits = 24;
}  // namespace

RawRecorder::DecoderState RawRecorder::evt3(Decoder& decoder) {
    Decoder* d = &decoder;
    return {[d](uint64_t fileTime) {
                // The words begin with one 4-byte pair per wrap of the 24-bit time;
                // a file whose decoder has counted some of them already skips those.
                std::vector<uint8_t> words = evt3StateWords(*d);
                const uint64_t known = (fileTime >> kEvt3TimeBits) * 4;
                words.erase(words.begin(), words.begin() + static_cast<long>(std::min<uint64_t>(
                                                               known, words.size())));
                return words;
            },
            [d] { return d->getCurrentTimestamp(); }};
}

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
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
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
    // The header goes out now: a disk that refuses it refuses the recording.
    if (!file_.flush() || writeFailures_ > 0) {
        ORVANE_LOG(LOG_ERROR, "Recording %s: the header cannot be written; no recording",
                   path.c_str());
        file_.close();
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        needStateWords_ = true;
        handedOver_ = false;
        fileTime_ = 0;
        dropLogged_ = false;
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
    if (handedOver_) {
        // The queued data end where the decoder stands now.
        handedOver_ = false;
        fileTime_ = decoderState_.time ? decoderState_.time() : 0;
    }
    if (needStateWords_) {
        needStateWords_ = false;
        if (decoderState_.words) {
            const std::vector<uint8_t> words = decoderState_.words(fileTime_);
            staging_->insert(staging_->end(), words.begin(), words.end());
        }
    }
    staging_->insert(staging_->end(), buffer.begin(), buffer.end());
    if (staging_->size() > handOverBytes_) {
        bool full;
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            full = queue_.size() >= poolBuffers_;
            if (!full) {
                queue_.push_back(staging_);
            }
        }
        if (full) {
            dropStaging();
            return;
        }
        queued_.notify_one();
        handedOver_ = true;
        staging_ = pool_->acquire();
        staging_->clear();
    }
}

// The disk is behind by a whole pool: these bytes go, and the data after the
// gap begin with the state words again.
void RawRecorder::dropStaging() {
    droppedBytes_ += staging_->size();
    staging_->clear();
    needStateWords_ = true;
    if (!dropLogged_) {
        dropLogged_ = true;
        ORVANE_LOG(LOG_ERROR,
                   "Recording %s: the disk cannot keep up with the camera; data are dropped "
                   "(the file stays decodable across each gap, the loss is counted)",
                   path_.c_str());
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
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
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
    const bool closed = !file_.fail();
    if (!closed) {
        ORVANE_LOG(LOG_ERROR, "Recording %s: closing the file failed; it misses data",
                   path_.c_str());
    }
    if (writeFailures_ > 0) {
        ORVANE_LOG(LOG_ERROR, "Recording %s: %llu writes failed; the file misses data",
                   path_.c_str(), static_cast<unsigned long long>(writeFailures_.load()));
    }
    if (dropLogged_) {
        ORVANE_LOG(LOG_ERROR,
                   "Recording %s: %llu bytes dropped so far because the disk fell behind",
                   path_.c_str(), static_cast<unsigned long long>(droppedBytes_.load()));
    }
    std::lock_guard<std::mutex> state(stateMutex_);
    pool_.reset();
    return closed && writeFailures_ == 0 ? 0 : -1;
}

}  // namespace orvane
