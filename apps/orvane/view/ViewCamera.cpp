// A live camera in the viewer.

#include "ViewCamera.h"

namespace orvane::cli {

namespace {

constexpr size_t kRateSamples = 40;  // ten seconds of status, four a second

std::string settingText(const Json& request) {
    const Json& value = request.value("value", Json());
    const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    return request.value("tool", std::string()) + "." + request.value("param", std::string()) +
           "=" + text;
}

}  // namespace

ViewCamera::ViewCamera(const std::string& serial, std::filesystem::path recordDir)
    : recordDir_(std::move(recordDir)) {
    if (serial.empty()) {
        const auto found = manager_.getCameraDescs();
        if (found.empty()) {
            throw Failure("no camera attached (simulated ones: ORVANE_SIM=evk4:SIM-01)");
        }
        description_ = found.front();
    } else {
        description_ = findCamera(manager_, serial);
    }
    camera_ = openCamera(manager_, description_);
    const uint16_t width =
        camera_.fusion ? camera_.fusion->getWidth(STREAM_DVS) : camera_.events->getWidth();
    const uint16_t height =
        camera_.fusion ? camera_.fusion->getHeight(STREAM_DVS) : camera_.events->getHeight();
    image_ = std::make_unique<LiveEventImage>(width, height);
    counters_ = std::make_unique<LiveCounters>(camera_);
    auto draw = [image = image_.get()](const Event2D* begin, const Event2D* end) {
        image->add(begin, end);
    };
    imageCallback_ = camera_.fusion ? camera_.fusion->addEventsStreamHandleCallback(draw)
                                    : camera_.events->addEventsStreamHandleCallback(draw);
    const int started =
        camera_.fusion ? camera_.fusion->start(STREAM_DVS) : camera_.events->start();
    if (started != 0) {
        throw failed(description_.serial + ": cannot start streaming");
    }
    streaming_ = true;
    lastStatus_ = std::chrono::steady_clock::now();
}

ViewCamera::~ViewCamera() {
    finish();
    if (camera_.fusion) {
        camera_.fusion->removeEventsStreamHandleCallback(imageCallback_);
    } else if (camera_.events) {
        camera_.events->removeEventsStreamHandleCallback(imageCallback_);
    }
}

Json ViewCamera::tools() {
    Json tools = Json::object();
    CameraFacade& facade = camera_.facade();
    for (const ToolInfo& info : facade.getAllToolsInfo()) {
        tools[toolName(info.toolType)] = {
            {"description", info.description},
            {"parameters", describeTool(*facade.getTool(info.toolType), info)}};
    }
    return tools;
}

Json ViewCamera::describe() {
    return {{"kind", camera_.fusion ? "fusion" : "camera"},
            {"name", description_.serial + " (" + description_.productName + ")"},
            {"width", image_->width()},
            {"height", image_->height()},
            {"record_dir", recordDir_.string()},
            {"tools", tools()}};
}

std::optional<ViewPicture> ViewCamera::picture(uint64_t windowUs) {
    const uint64_t end = image_->latest();
    if (end == lastPictureEnd_ && end != 0) {
        return std::nullopt;  // nothing new: the page keeps its picture
    }
    lastPictureEnd_ = end;
    EventPictureCounts counts;
    const auto packed = image_->draw(end, windowUs, counts);
    const uint64_t from = end >= windowUs ? end - windowUs + 1 : 0;
    return eventPicture(packed, image_->width(), image_->height(), end + 1, end + 1 - from, counts,
                        image_->eventsIn(end, windowUs));
}

Json ViewCamera::status() {
    const auto now = std::chrono::steady_clock::now();
    const uint64_t count = counters_->events;
    const double seconds = std::chrono::duration<double>(now - lastStatus_).count();
    rates_.push_back(seconds > 0 ? (count - lastCount_) / seconds : 0.0);
    if (rates_.size() > kRateSamples) {
        rates_.pop_front();
    }
    lastCount_ = count;
    lastStatus_ = now;
    Json recording = nullptr;
    if (!recordingPath_.empty()) {
        recording = {{"path", recordingPath_}, {"bytes", fileSize(recordingPath_)}};
    }
    return {{"events", count},
            {"rates", Json(rates_)},
            {"rate_interval_s", 0.25},
            {"dropped_buffers", droppedBuffers(camera_)},
            {"trigger_edges", counters_->triggers.load()},
            {"recording", recording}};
}

Json ViewCamera::control(const Json& request) {
    const std::string op = request["op"];
    if (op == "set") {
        const auto settings = checkSettings({settingText(request)}, familyOf(description_));
        applySettings(camera_.facade(), settings);
        return {{"tools", tools()}};
    }
    if (op == "record") {
        return record(request);
    }
    throw UsageError(op + ": not a request a camera takes (set, record)");
}

Json ViewCamera::record(const Json& request) {
    const bool on = request.value("on", false);
    if (!on) {
        if (recordingPath_.empty()) {
            throw UsageError("record: not recording");
        }
        const int stopped = camera_.fusion ? camera_.fusion->stopRecording(STREAM_DVS)
                                           : camera_.events->stopRecording();
        Json done = {{"recorded", recordingPath_}, {"bytes", fileSize(recordingPath_)}};
        recordingPath_.clear();
        if (stopped != 0) {
            throw failed(done["recorded"].get<std::string>() + ": not all could be written");
        }
        return done;
    }
    if (!recordingPath_.empty()) {
        throw UsageError("record: already recording to " + recordingPath_);
    }
    // Only a plain name: the files go to the directory the viewer may write to.
    const std::string name = request.value("name", std::string());
    if (name.empty() || name.find('/') != std::string::npos || name.front() == '.' ||
        !endsWith(name, ".raw") || name.size() > 200) {
        throw UsageError("record: \"name\" takes a file name ending in .raw, without a directory");
    }
    const std::string path = (recordDir_ / name).string();
    std::error_code error;
    if (std::filesystem::exists(path, error)) {
        throw UsageError("record: " + path + " exists already");
    }
    int status = 0;
    try {
        status = camera_.fusion ? camera_.fusion->startRecording(path, STREAM_DVS)
                                : camera_.events->startRecording(path);
    } catch (const std::runtime_error& e) {
        throw Failure(path + ": cannot be written (" + e.what() + ")");
    }
    if (status != 0) {
        throw failed(path + ": cannot record");
    }
    recordingPath_ = path;
    return {{"recording", path}};
}

void ViewCamera::finish() {
    if (!recordingPath_.empty()) {
        if (camera_.fusion) {
            camera_.fusion->stopRecording(STREAM_DVS);
        } else {
            camera_.events->stopRecording();
        }
        recordingPath_.clear();
    }
    if (streaming_) {
        if (camera_.fusion) {
            camera_.fusion->stop(STREAM_DVS);
        } else {
            camera_.events->stop();
        }
        streaming_ = false;
    }
}

}  // namespace orvane::cli
