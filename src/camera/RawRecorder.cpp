// Raw recording: staging on the acquisition thread, writing on a thread of its own.
#include "camera/RawRecorder.h"

#include <filesystem>
#include <stdexcept>

#include "orvane/base/Logger.h"
#include "orvane/hal/Evt3StateWords.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/RawRecorder";
constexpr unsigned kEvt3TimeBits = 24;
// Device buffers whose ends a staging buffer keeps: enough for device buffers
// of 1 KiB on average in a 10 MiB staging buffer (USB transfers are larger).
constexpr size_t kCutsPerBuffer = 10240;
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
    fileBytes_ = 0;
    inGap_ = false;
    goodTime_ = 0;
    // The header goes out now: a disk that refuses it refuses the recording.
    file_.write(header.data(), static_cast<std::streamsize>(header.size()));
    fileBytes_ = header.size();
    if (!file_.flush()) {
        ORVANE_LOG(LOG_ERROR, "Recording %s: the header cannot be written; no recording",
                   path.c_str());
        file_.close();
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        needStateWords_ = true;
        afterGap_ = false;
        dropLogged_ = false;
        buffers_ = std::vector<std::vector<uint8_t>>(poolBuffers_ + 2);
        for (std::vector<uint8_t>& buffer : buffers_) {
            buffer.reserve(handOverBytes_);
        }
        std::lock_guard<std::mutex> queue(queueMutex_);
        free_.clear();
        for (size_t i = 1; i < buffers_.size(); ++i) {
            free_.push_back(&buffers_[i]);
        }
        staging_ = &buffers_[0];
        endTimes_.assign(buffers_.size(), 0);
        withStateWords_.assign(buffers_.size(), 0);
        statePairBytes_.assign(buffers_.size(), 0);
        resume_.assign(buffers_.size(), {});
        cuts_.assign(buffers_.size(), {});
        for (std::vector<Cut>& cuts : cuts_) {
            cuts.reserve(kCutsPerBuffer);
        }
        queue_.assign(poolBuffers_, nullptr);
        queueHead_ = queueSize_ = 0;
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
    // Handed over before the buffer would take it past the reserved room, so
    // the staging buffers never reallocate.
    if (!staging_->empty() && staging_->size() + buffer.size() > handOverBytes_) {
        handOverStaging();
    }
    if (!staging_->empty()) {
        // The staged data end with a whole device buffer, where the decoder
        // stands now: the buffer being appended is not decoded yet.
        std::vector<Cut>& cuts = cuts_[indexOf(staging_)];
        if (cuts.size() < cuts.capacity()) {
            cuts.push_back({staging_->size(), decoderState_.time ? decoderState_.time() : 0});
        }
    }
    if (needStateWords_) {
        needStateWords_ = false;
        if (staging_->empty()) {
            const StateWords words = stateWordsNow(afterGap_);
            statePairBytes_[indexOf(staging_)] = words.pairBytes;
            withStateWords_[indexOf(staging_)] = !words.words.empty();
            staging_->insert(staging_->end(), words.words.begin(), words.words.end());
        }
        afterGap_ = false;
    }
    staging_->insert(staging_->end(), buffer.begin(), buffer.end());
}

void RawRecorder::handOverStaging() {
    // The staged data end where the decoder stands: the buffer being appended is
    // not decoded yet.
    const uint64_t endTime = decoderState_.time ? decoderState_.time() : 0;
    endTimes_[indexOf(staging_)] = endTime;
    std::vector<uint8_t>* next = nullptr;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (queueSize_ < queue_.size()) {
            queue_[(queueHead_ + queueSize_++) % queue_.size()] = staging_;
            // Queue, staging and writer never hold more than all buffers.
            next = free_.back();
            free_.pop_back();
        }
    }
    if (!next) {
        dropStaging();
        return;
    }
    queued_.notify_one();
    staging_ = next;
    clearStaging();
    withStateWords_[indexOf(staging_)] = 0;
    // Should a write fail before this buffer is written, these words let it
    // follow the gap: the decoder stands where its data begin.
    resume_[indexOf(staging_)] = stateWordsNow(true);
}

// With a pair of time-highs per wrap of the 24-bit counter first: the writer
// skips those the file has counted when it writes them. The gap marker goes
// after the pairs.
RawRecorder::StateWords RawRecorder::stateWordsNow(bool afterGap) const {
    StateWords state;
    if (!decoderState_.words) {
        return state;
    }
    state.words = decoderState_.words(0);
    const uint64_t time = decoderState_.time ? decoderState_.time() : 0;
    state.pairBytes = std::min<uint64_t>(state.words.size(), (time >> kEvt3TimeBits) * 4);
    if (afterGap && !state.words.empty()) {
        const uint8_t marker[4] = {
            static_cast<uint8_t>(kEvt3GapMarker[0]), static_cast<uint8_t>(kEvt3GapMarker[0] >> 8),
            static_cast<uint8_t>(kEvt3GapMarker[1]), static_cast<uint8_t>(kEvt3GapMarker[1] >> 8)};
        state.words.insert(state.words.begin() + static_cast<long>(state.pairBytes), marker,
                           marker + 4);
    }
    return state;
}

void RawRecorder::clearStaging() {
    staging_->clear();
    cuts_[indexOf(staging_)].clear();
}

std::vector<uint8_t>* RawRecorder::popQueued() {
    std::vector<uint8_t>* buffer = queue_[queueHead_];
    queueHead_ = (queueHead_ + 1) % queue_.size();
    --queueSize_;
    return buffer;
}

// The disk is behind by a whole pool: these bytes go, and the data after the
// gap begin with the state words again.
void RawRecorder::dropStaging() {
    droppedBytes_ += staging_->size();
    clearStaging();
    needStateWords_ = true;
    afterGap_ = true;
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
        queued_.wait(lock, [this] { return queueSize_ > 0 || !recording_; });
        while (queueSize_ > 0) {
            std::vector<uint8_t>* buffer = popQueued();
            // The acquisition thread may queue the next buffer while this one is written.
            lock.unlock();
            writeQueued(*buffer);
            lock.lock();
            free_.push_back(buffer);
        }
        if (!recording_) {
            return;
        }
    }
}

// Writer thread. After a failed write a buffer follows the gap behind the
// decoder-state words of where its data begin, so that the file decodes on
// across the gap with its times going forward.
void RawRecorder::writeQueued(const std::vector<uint8_t>& buffer) {
    const size_t index = indexOf(&buffer);
    // The wraps the file has counted already are not written again.
    const uint64_t counted = (goodTime_ >> kEvt3TimeBits) * 4;
    uint64_t skip = 0;
    const uint8_t* words = nullptr;
    uint64_t wordBytes = 0;
    if (withStateWords_[index]) {
        skip = std::min(statePairBytes_[index], counted);
    } else if (inGap_) {
        const StateWords& resume = resume_[index];
        if (resume.words.empty()) {
            lostBytes_ += buffer.size();  // no decoder state to resume from
            return;
        }
        const uint64_t from = std::min(resume.pairBytes, counted);
        words = resume.words.data() + from;
        wordBytes = resume.words.size() - from;
    }
    size_t kept = 0;
    if (write(words, wordBytes, buffer.data() + skip, buffer.size() - skip, cuts_[index], skip,
              kept)) {
        inGap_ = false;
        goodTime_ = endTimes_[index];
    } else {
        inGap_ = true;
        if (kept > 0) {
            goodTime_ = cuts_[index][kept - 1].time;
        }
    }
}

bool RawRecorder::write(const uint8_t* words, uint64_t wordBytes, const uint8_t* data,
                        uint64_t size, const std::vector<Cut>& cuts, uint64_t cutBase,
                        size_t& kept) {
    const uint64_t total = wordBytes + size;
    const uint64_t through = fault_ ? std::min(total, fault_(total)) : total;
    const uint64_t wordsThrough = std::min(through, wordBytes);
    if (wordsThrough > 0) {
        file_.write(reinterpret_cast<const char*>(words),
                    static_cast<std::streamsize>(wordsThrough));
    }
    file_.write(reinterpret_cast<const char*>(data),
                static_cast<std::streamsize>(through - wordsThrough));
    if (file_.flush() && through == total) {
        fileBytes_ += total;
        return true;
    }
    if (writeFailures_++ == 0) {
        ORVANE_LOG(LOG_ERROR,
                   "Recording %s: writing failed (disk full or I/O error); the recording "
                   "misses data from here (the file stays whole device buffers and decodes on "
                   "across the gap, the loss is counted)",
                   path_.c_str());
    }
    // Never part of a device buffer: the file goes back to the last whole one
    // that reached it. Later buffers are still tried, and counted when they fail.
    file_.clear();
    file_.close();
    std::error_code error;
    const uint64_t onDisk = std::filesystem::file_size(path_, error);
    const uint64_t reached = !error && onDisk > fileBytes_ ? onDisk - fileBytes_ : 0;
    // The words alone are never kept: they come with a device buffer or not at all.
    uint64_t keep = 0;
    kept = 0;
    while (kept < cuts.size() &&
           wordBytes + cuts[kept].offset - cutBase <= std::min(reached, total)) {
        keep = wordBytes + cuts[kept++].offset - cutBase;
    }
    lostBytes_ += size - (keep > 0 ? keep - wordBytes : 0);
    fileBytes_ += keep;
    std::filesystem::resize_file(path_, fileBytes_, error);
    if (error) {
        ORVANE_LOG(LOG_ERROR, "Recording %s: a partial write cannot be undone: %s", path_.c_str(),
                   error.message().c_str());
    }
    file_.open(path_, std::ios::binary | std::ios::in | std::ios::out);
    file_.seekp(0, std::ios::end);
    return false;
}

int RawRecorder::stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (!recording_) {
        return 0;
    }
    std::vector<uint8_t>* finalStaging = nullptr;
    {
        // The acquisition thread is not inside append past this point.
        std::lock_guard<std::mutex> state(stateMutex_);
        std::lock_guard<std::mutex> lock(queueMutex_);
        recording_.exchange(false);
        // What arrived since the last hand-over is written too, after the queue.
        if (staging_ && !staging_->empty()) {
            finalStaging = staging_;
        }
        staging_ = nullptr;
    }
    queued_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    if (finalStaging) {
        writeQueued(*finalStaging);
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
    if (lostBytes_ > 0) {
        ORVANE_LOG(LOG_ERROR, "Recording %s: %llu bytes lost so far because writes failed",
                   path_.c_str(), static_cast<unsigned long long>(lostBytes_.load()));
    }
    if (dropLogged_) {
        ORVANE_LOG(LOG_ERROR,
                   "Recording %s: %llu bytes dropped so far because the disk fell behind",
                   path_.c_str(), static_cast<unsigned long long>(droppedBytes_.load()));
    }
    std::lock_guard<std::mutex> state(stateMutex_);
    free_.clear();
    buffers_ = std::vector<std::vector<uint8_t>>();
    return closed && writeFailures_ == 0 ? 0 : -1;
}

}  // namespace orvane
