// The MP4 recorder of fusion cameras: bounded picture queue, real picture times.

#include "FusionFrameRecorder.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include "orvane/DataToVideoConverter.h"
#include "orvane/Mp4FileReader.h"
#include "orvane/base/Logger.h"

namespace orvane {

namespace {
constexpr const char* kLogModule = "src/camera/TandroCamera";
// 4K encoding can use every core it finds. The event path must not wait for
// it: events cannot be caught up later, pictures are thinned when the encoder
// falls behind. The encoder's own threads inherit this niceness.
constexpr int kEncoderNiceness = 10;
}  // namespace

FusionFrameRecorder::FusionFrameRecorder(std::string owner, uint32_t width, uint32_t height)
    : owner_(std::move(owner)),
      width_(width),
      height_(height),
      pictureBytes_(size_t{width} * height * 3 / 2) {}

FusionFrameRecorder::~FusionFrameRecorder() {
    stop();
}

int FusionFrameRecorder::start(const std::string& path, const std::string& preset,
                               double picturesPerSecond) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The writer is in use from start on, before it has opened its file.
    if (state_ == State::Starting || state_ == State::Open) {
        ORVANE_LOG(LOG_INFO, "Do not save again while saving.");
        return -1;
    }
    if (writer_.joinable()) {  // a writer that could not open its file has ended
        lock.unlock();
        writer_.join();
        lock.lock();
    }
    state_ = State::Starting;
    stopping_ = false;
    waiting_.clear();
    received_ = kept_ = dropped_ = thinned_ = failed_ = 0;
    closeFailed_ = false;
    emptyVideo_.clear();
    spacing_ = picturesPerSecond > 0 ? static_cast<int64_t>(1e6 / picturesPerSecond) : 0;
    due_ = 0;
    haveOffset_ = false;
    offset_ = lastTimestamp_ = 0;
    lastPts_ = -1;
    writer_ = std::thread(&FusionFrameRecorder::writerLoop, this, path, preset);
    return 0;
}

FusionFrameRecorder::Buffer FusionFrameRecorder::takeBuffer() {
    if (!spare_.empty()) {
        Buffer buffer = std::move(spare_.back());
        spare_.pop_back();
        return buffer;
    }
    if (waiting_.size() >= kMaxWaiting) {
        // The encoder is behind: the oldest waiting picture gives its buffer.
        Buffer buffer = std::move(waiting_.front().data);
        waiting_.pop_front();
        if (dropped_++ == 0) {
            ORVANE_LOG(LOG_WARNING,
                       "Recording of %s: the encoder cannot keep up with the pictures; the "
                       "oldest waiting pictures make room (the count follows at stop)",
                       owner_.c_str());
        }
        return buffer;
    }
    return std::make_unique<std::vector<uint8_t>>(pictureBytes_);
}

// The picture's trigger time relative to the first picture. A picture whose
// trigger time did not advance (no event stream, or a picture that went without
// its pulse) is placed by the host clock after the previous one; times only
// grow. Pictures before the first trigger time count from the first picture,
// and the offset then takes their host time into account, so that the file's
// times plus the offset stay sensor times.
int64_t FusionFrameRecorder::nextPts(uint64_t timestamp) {
    const auto now = std::chrono::steady_clock::now();
    const int64_t byClock =
        lastPts_ < 0
            ? 0
            : lastPts_ +
                  std::chrono::duration_cast<std::chrono::microseconds>(now - lastArrival_).count();
    int64_t pts = byClock;
    if (!haveOffset_) {
        if (timestamp != 0) {
            haveOffset_ = true;
            offset_ = timestamp - std::min<uint64_t>(timestamp, static_cast<uint64_t>(pts));
        }
    } else if (timestamp > lastTimestamp_) {
        pts = static_cast<int64_t>(timestamp - offset_);
    }
    pts = std::max(pts, lastPts_ + 1);
    lastTimestamp_ = std::max(lastTimestamp_, timestamp);
    lastArrival_ = now;
    lastPts_ = pts;
    return pts;
}

// Due when at most a quarter of the target spacing early: the camera's own
// spacing jitters, and 30 pictures a second thinned to 10 must keep every third
// picture, not every fourth. After a gap the grid starts afresh.
bool FusionFrameRecorder::due(int64_t pts) {
    if (spacing_ == 0) {
        return true;
    }
    if (pts + spacing_ / 4 < due_) {
        ++thinned_;
        return false;
    }
    due_ = std::max(due_ + spacing_, pts + spacing_);
    return true;
}

void FusionFrameRecorder::append(const uint8_t* nv12, uint64_t timestamp) {
    Buffer buffer;
    int64_t pts = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if ((state_ != State::Starting && state_ != State::Open) || stopping_) {
            return;
        }
        ++received_;
        pts = nextPts(timestamp);
        if (!due(pts)) {
            return;
        }
        buffer = takeBuffer();
    }
    std::memcpy(buffer->data(), nv12, pictureBytes_);  // outside the lock: 12 MB
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || state_ == State::Failed) {
            return;  // stop came meanwhile: this picture is not carried over
        }
        waiting_.push_back({std::move(buffer), pts});
    }
    changed_.notify_one();
}

void FusionFrameRecorder::writerLoop(std::string path, std::string preset) {
    // Linux keeps the nice value per thread: this lowers only the writer and
    // the threads it creates.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kEncoderNiceness) != 0) {
        ORVANE_LOG(LOG_DEBUG, "Recording of %s: the encoder keeps its priority", owner_.c_str());
    }
    DataToVideoConverter converter;
    converter.setConverterFrameSize(static_cast<int>(height_), static_cast<int>(width_),
                                    static_cast<int>(height_), static_cast<int>(width_));
    converter.setConverterFmt(AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P);
    converter.setEncoderPreset(preset);
    if (converter.initVideoConverter(path) < 0) {
        ORVANE_LOG(LOG_ERROR,
                   "Video converter initialization failed, please confirm that the input file "
                   "is correct.");
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = State::Failed;
        waiting_.clear();
        spare_.clear();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    state_ = State::Open;
    // The video's time 0 is its first picture's: pictures the encoder could not
    // take before it are not in the file, and the sensor time moves by as much.
    std::optional<int64_t> firstPts;
    while (true) {
        changed_.wait(lock, [this] { return !waiting_.empty() || stopping_; });
        if (waiting_.empty()) {
            break;  // stopping, and everything that waited is encoded
        }
        Picture picture = std::move(waiting_.front());
        waiting_.pop_front();
        lock.unlock();
        firstPts = firstPts.value_or(picture.pts);
        const bool encoded =
            converter.nv12ToViedo(picture.data->data(), picture.pts - *firstPts) == 0;
        lock.lock();
        kept_ += encoded;
        failed_ += !encoded;
        spare_.push_back(std::move(picture.data));
    }
    // The sensor time of the file's time 0; pictures without trigger times (no
    // event stream) have none to tell.
    if (haveOffset_) {
        const uint64_t offset = offset_ + static_cast<uint64_t>(firstPts.value_or(0));
        converter.setMetadata(Mp4FileReader::kSensorTimeTag, std::to_string(offset));
        ORVANE_LOG(LOG_INFO, "Mp4 offset: %llu", static_cast<unsigned long long>(offset));
    }
    const bool empty = kept_ == 0;
    lock.unlock();
    const bool closed = converter.flushAndCloseVideo() == 0;
    if (empty && closed) {
        // A video without a picture is no video any reader opens.
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    lock.lock();
    closeFailed_ = !closed;
    emptyVideo_ = empty && closed ? path : "";
}

int FusionFrameRecorder::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == State::Idle) {
            return 0;
        }
        stopping_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::Open) {
        ORVANE_LOG(dropped_ > 0 ? LOG_WARNING : LOG_INFO,
                   "Recording of %s: kept %llu of %llu pictures (%llu left out for the target "
                   "rate)",
                   owner_.c_str(), static_cast<unsigned long long>(kept_),
                   static_cast<unsigned long long>(received_),
                   static_cast<unsigned long long>(thinned_));
    }
    if (failed_ > 0 || closeFailed_) {
        ORVANE_LOG(LOG_ERROR, "Recording of %s: %llu pictures could not be encoded%s",
                   owner_.c_str(), static_cast<unsigned long long>(failed_),
                   closeFailed_ ? " and the video could not be finished" : "");
    }
    if (!emptyVideo_.empty()) {
        ORVANE_LOG(LOG_ERROR, "Recording of %s: no picture reached the video; %s is removed",
                   owner_.c_str(), emptyVideo_.c_str());
    }
    const bool written =
        state_ == State::Open && failed_ == 0 && !closeFailed_ && emptyVideo_.empty();
    state_ = State::Idle;
    waiting_.clear();
    spare_.clear();  // the memory goes back with the recording
    return written ? 0 : -1;
}

bool FusionFrameRecorder::isRecording() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::Starting || state_ == State::Open;
}

uint64_t FusionFrameRecorder::picturesReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

uint64_t FusionFrameRecorder::picturesKept() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_;
}

uint64_t FusionFrameRecorder::picturesThinned() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return thinned_;
}

}  // namespace orvane
