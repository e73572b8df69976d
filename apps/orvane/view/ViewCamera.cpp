// A live camera in the viewer.

#include "ViewCamera.h"

namespace orvane::cli {

namespace {

constexpr size_t kRateSamples = 40;  // ten seconds of status, four a second
// Frame-sensor pictures are shown within this size: the page has about this
// much room beside the controls, and a 4K JPEG would cost the link 1-2 MB.
constexpr int kFrameWidth = 960, kFrameHeight = 540;

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
    if (camera_.fusion) {
        preview_ = std::make_unique<FusionPreview>(*camera_.fusion, kFrameWidth, kFrameHeight);
    }
    const int started =
        camera_.fusion ? camera_.fusion->start(STREAM_BOTH) : camera_.events->start();
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
    Json hello = {{"kind", camera_.fusion ? "fusion" : "camera"},
                  {"name", description_.serial + " (" + description_.productName + ")"},
                  {"width", image_->width()},
                  {"height", image_->height()},
                  {"record_dir", recordDir_.string()},
                  {"tools", tools()}};
    if (preview_) {
        hello["frame"] = {{"width", preview_->width()},
                          {"height", preview_->height()},
                          {"sensor_width", camera_.fusion->getWidth(STREAM_APS)},
                          {"sensor_height", camera_.fusion->getHeight(STREAM_APS)}};
    }
    return hello;
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

std::vector<ViewPicture> ViewCamera::framePictures() {
    return preview_ ? preview_->take() : std::vector<ViewPicture>{};
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
    if (!recordingPaths_.empty()) {
        recording = {{"path", joinNames(recordingPaths_)}, {"bytes", totalBytes(recordingPaths_)}};
    }
    Json status = {{"events", count},
                   {"rates", Json(rates_)},
                   {"rate_interval_s", 0.25},
                   {"dropped_buffers", droppedBuffers(camera_)},
                   {"trigger_edges", counters_->triggers.load()},
                   {"recording", recording}};
    if (preview_) {
        status["pictures"] = preview_->received();
    }
    return status;
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
        if (recordingPaths_.empty()) {
            throw UsageError("record: not recording");
        }
        const int stopped = stopRecording();
        Json done = {{"recorded", joinNames(recordingPaths_)},
                     {"bytes", totalBytes(recordingPaths_)}};
        recordingPaths_.clear();
        if (stopped != 0) {
            throw failed(done["recorded"].get<std::string>() + ": not all could be written");
        }
        return done;
    }
    if (!recordingPaths_.empty()) {
        throw UsageError("record: already recording to " + joinNames(recordingPaths_));
    }
    // Only a plain name: the files go to the directory the viewer may write to.
    const std::string name = request.value("name", std::string());
    if (name.empty() || name.find('/') != std::string::npos || name.front() == '.' ||
        !endsWith(name, ".raw") || name.size() > 200) {
        throw UsageError("record: \"name\" takes a file name ending in .raw, without a directory");
    }
    const std::string path = (recordDir_ / name).string();
    std::vector<std::string> paths = {path};
    if (camera_.fusion) {
        paths.push_back(path.substr(0, path.size() - 4) + ".mp4");
    }
    for (const std::string& file : paths) {
        std::error_code error;
        if (std::filesystem::exists(file, error)) {
            throw UsageError("record: " + file + " exists already");
        }
    }
    int status = 0;
    try {
        status = camera_.fusion ? camera_.fusion->startRecording(path, STREAM_BOTH)
                                : camera_.events->startRecording(path);
    } catch (const std::runtime_error& e) {
        throw Failure(joinNames(paths) + ": cannot be written (" + e.what() + ")");
    }
    if (status != 0) {
        throw failed(joinNames(paths) + ": cannot record");
    }
    recordingPaths_ = std::move(paths);
    return {{"recording", joinNames(recordingPaths_)}};
}

int ViewCamera::stopRecording() {
    if (!camera_.fusion) {
        return camera_.events->stopRecording();
    }
    // The events first: the video may take a while to finish.
    return camera_.fusion->stopRecording(STREAM_DVS) | camera_.fusion->stopRecording(STREAM_BOTH);
}

void ViewCamera::finish() {
    if (!recordingPaths_.empty()) {
        stopRecording();
        recordingPaths_.clear();
    }
    if (streaming_) {
        if (camera_.fusion) {
            camera_.fusion->stop(STREAM_BOTH);
        } else {
            camera_.events->stop();
        }
        streaming_ = false;
    }
}

}  // namespace orvane::cli
