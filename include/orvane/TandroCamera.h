#pragma once

// The fusion camera Tandro: an IMX636 event sensor and an IMX415 frame sensor
// in one USB device.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvane/ApsFrame.h"
#include "orvane/FusionCameraPrivate.h"
#include "orvane/Sensor.h"
#include "orvane/hal/Decoder.h"
#include "orvane/hal/RegisterController.h"
#include "orvane/hal/UsbInterface.h"

namespace orvane {

class AcquisitionLoop;
class DataToVideoConverter;
class Evt3RunJoiner;
class FusionFrameRecorder;
class RawRecorder;

// Two acquisition threads while streaming: the event thread byte-swaps each
// raw buffer (the device's USB bridge sends it swapped), records it and
// decodes it into the fusion event path; the frame thread converts each NV12
// picture into one BGR record, stamped with the latest trigger times, records
// it and hands it to the frame callbacks. While recording, one writer thread
// per recorded stream. start, stop, startRecording and stopRecording may be
// called from any application thread (not from a callback).
class TandroCamera : public FusionCameraPrivate {
  public:
    explicit TandroCamera(CameraDescription description);
    // Finishes the recordings, then stops streaming.
    ~TandroCamera() override;

    bool isConnected() override;
    uint32_t addApsFrameCallback(ApsFrameCallback callback) override;
    bool removeApsFrameCallback(uint32_t id) override;
    // -1 (with an error log) before a successful bring-up or when the device
    // does not answer.
    int start(STREAM_TYPE type) override;
    // -1 (with an error log) from a callback, which runs on a thread stop ends.
    int stop(STREAM_TYPE type) override;
    int startRecording(std::string path, STREAM_TYPE type) override;
    int stopRecording(STREAM_TYPE type) override;
    uint16_t getWidth(STREAM_TYPE type) override;
    uint16_t getHeight(STREAM_TYPE type) override;

    // The H.264 preset of the next video recordings. The default,
    // kLiveVideoPreset, was chosen by `make bench` as the one that keeps the
    // most 4K pictures at 30 per second; slower presets give better pictures
    // per bit but keep fewer of them.
    void setVideoPreset(std::string preset);
    // At most this many pictures per second of the next video recordings, thinned
    // evenly (recordedPicturesThinned); 0, the default, records every picture.
    // A lower rate lets a slow machine keep pictures spread over the scene
    // instead of dropping whatever the encoder cannot take.
    void setVideoPictureRate(double picturesPerSecond);
    // Pictures received and kept (encoded) by the current or last video recording.
    uint64_t recordedPicturesReceived() const;
    uint64_t recordedPicturesKept() const;
    uint64_t recordedPicturesThinned() const;

    // Raw event buffers the host dropped because the event thread fell behind,
    // as for the event cameras.
    uint64_t droppedBuffers() const;
    // Whether the event stream's acquisition thread runs.
    bool isRunning() const;

    static constexpr const char* kLiveVideoPreset = "ultrafast";

    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;
    static constexpr uint16_t vendorId = 0x2207;
    static constexpr uint16_t productId = 0x0006;
    static std::string getManufacturer() { return "Orvane"; }
    static std::string getProductName() { return "Tandro"; }

  protected:
    // Bring-up (blocking for over 2.5 s): transport, both register
    // controllers, decoder, both sensors and the tools. 0, or -1 with an error log.
    int init() override;

    // One raw buffer of each stream, on its acquisition thread.
    void processEventBuffer(std::vector<uint8_t>& buffer);
    void processFrameBuffer(std::vector<uint8_t>& buffer);

  private:
    struct FrameCallback {
        ApsFrameCallback callback;
        bool failed = false;  // reported once
    };

    int startRecordingDvsStream(const std::string& path);
    int startRecordingApsStream(const std::string& path);
    bool deviceGone();
    void startStreams(STREAM_TYPE type);
    void stopStreams();
    bool onLoopThread() const;

    std::map<uint32_t, FrameCallback> frameCallbacks_;
    uint32_t nextFrameCallbackId_ = 0;
    std::mutex frameCallbacksMutex_;

    std::unique_ptr<AcquisitionLoop> frameLoop_;
    std::unique_ptr<AcquisitionLoop> eventLoop_;
    std::unique_ptr<Decoder> decoder_;
    std::unique_ptr<Evt3RunJoiner> runJoiner_;  // event thread, or start with it stopped
    bool initialised_ = false;
    std::atomic<int> running_{0};  // guarded by lifecycleMutex_ for writing
    std::shared_ptr<UsbInterface> interface_;
    uint64_t interfaceValue_ = 0;
    std::shared_ptr<RegisterController> eventRegisters_;
    std::shared_ptr<RegisterController> frameRegisters_;
    std::unique_ptr<Sensor> eventSensor_;
    std::unique_ptr<Sensor> frameSensor_;

    std::unique_ptr<RawRecorder> eventRecorder_;
    std::unique_ptr<FusionFrameRecorder> frameRecorder_;
    std::string videoPreset_ = kLiveVideoPreset;
    double videoPictureRate_ = 0;

    // The frame record and its picture, allocated when frames first stream
    // (24.9 MB: a camera that only streams events never holds it).
    std::unique_ptr<DataToVideoConverter> liveConverter_;
    std::vector<uint8_t> frameData_;
    ApsFrame frameRecord_;
    uint64_t frameDropsSeen_ = 0;  // frame stream drops already accounted for
    std::mutex frameRecordMutex_;

    std::mutex lifecycleMutex_;  // start, stop, the recordings and the preset, from any thread
};

}  // namespace orvane
