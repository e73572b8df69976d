// The fusion camera in the demo: both streams, fusion images, recording of
// both and reading them back.

#include "FusionDemo.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <thread>

#include "orvane/orvane.h"
#include "orvane/sim/sim.h"

using namespace orvane;

namespace {

struct Counts {
    uint64_t events = 0, pictures = 0, images = 0, imageEvents = 0;
};

}  // namespace

int runFusionDemo(DvsCameraManager& manager, const std::string& base) {
    if (std::getenv("ORVANE_SIM") == nullptr) {
        sim::DeviceConfig tandro;
        tandro.product = sim::Product::Tandro;
        tandro.serial = "SIM-TANDRO-01";
        tandro.eventRate = 2e6;
        sim::SimulatedBus::instance().plug(tandro);
    }
    std::string serial;
    for (const CameraDescription& d : manager.getCameraDescs()) {
        if (d.vendorId == TandroCamera::vendorId && d.productId == TandroCamera::productId) {
            serial = d.serial;
            break;
        }
    }
    if (serial.empty()) {
        std::printf("\n7. no fusion camera attached: nothing more to show\n");
        return 0;
    }
    std::printf("\n7. fusion camera %s: opening (about 2.5 s)...\n", serial.c_str());
    std::shared_ptr<FusionCamera> camera = manager.openFusionCamera(serial);
    if (!camera || !camera->isConnected()) {
        std::fprintf(stderr, "could not open %s\n", serial.c_str());
        return 1;
    }
    std::printf("   events %ux%u, pictures %ux%u\n", camera->getWidth(STREAM_DVS),
                camera->getHeight(STREAM_DVS), camera->getWidth(STREAM_APS),
                camera->getHeight(STREAM_APS));

    // Each picture fetches the event counts of its own exposure.
    std::mutex mutex;
    Counts counts;
    camera->addEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
        std::lock_guard<std::mutex> lock(mutex);
        counts.events += static_cast<uint64_t>(end - begin);
    });
    camera->addApsFrameCallback([&](const ApsFrame& frame) {
        std::shared_ptr<std::vector<uint16_t>> image;
        const bool found = camera->getFusionEvents(image, frame.timestamp);
        const uint64_t inImage =
            found ? std::accumulate(image->begin(), image->end(), uint64_t{0}) : 0;
        std::lock_guard<std::mutex> lock(mutex);
        ++counts.pictures;
        counts.images += found;
        counts.imageEvents += inImage;
    });

    std::printf("\n8. streaming events and pictures for 2 s:\n");
    if (camera->start(STREAM_BOTH) != 0) {
        return 1;
    }
    Counts previous;
    for (int i = 1; i <= 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // pacing the display
        std::lock_guard<std::mutex> lock(mutex);
        const uint64_t images = counts.images - previous.images;
        std::printf(
            "   t=%3.1f s  %5.1f pictures/s  %5.2f Mev/s  %7.0f events per fusion image "
            "(counts stop at 10 per pixel)\n",
            i * 0.5, (counts.pictures - previous.pictures) / 0.5,
            (counts.events - previous.events) / 0.5 / 1e6,
            images ? double(counts.imageEvents - previous.imageEvents) / images : 0.0);
        previous = counts;
    }

    std::printf("\n9. recording 2 s of both streams to %s.raw and %s.mp4\n", base.c_str(),
                base.c_str());
    camera->startRecording(base, STREAM_BOTH);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the length of the recording
    camera->stop(STREAM_BOTH);
    camera->stopRecording(STREAM_BOTH);
    if (auto tandro = std::dynamic_pointer_cast<TandroCamera>(camera)) {
        std::printf("   the video kept %" PRIu64 " of %" PRIu64
                    " pictures (4K H.264 is slow on a small machine; the pictures kept "
                    "spread over the whole recording)\n",
                    tandro->recordedPicturesKept(), tandro->recordedPicturesReceived());
    }

    std::printf("\n10. reading both back:\n");
    std::unique_ptr<DvsFileReader> raw = DvsFileReader::createFileReader(base + ".raw");
    uint64_t events = 0, first = 0, last = 0;
    if (!raw || !raw->loadFile() || !raw->getMaxEvents(events)) {
        std::fprintf(stderr, "could not read %s.raw back\n", base.c_str());
        return 1;
    }
    raw->getStartTimeStamp(first);
    raw->getEndTimeStamp(last);
    std::printf("   %s.raw: %" PRIu64 " events over %.2f s\n", base.c_str(), events,
                (last - first) / 1e6);
    std::unique_ptr<ApsFileReader> video = ApsFileReader::createFileReader(base + ".mp4");
    std::vector<uint64_t> times;
    if (!video || !video->loadFile() || !video->getTimeStamps(times) || times.empty()) {
        std::fprintf(stderr, "could not read %s.mp4 back\n", base.c_str());
        return 1;
    }
    const auto [low, high] = std::minmax_element(times.begin(), times.end());
    ApsFrame picture;
    const bool decoded = video->getNextFrame(picture);
    std::printf("   %s.mp4: %zu pictures of %ux%u over %.2f s (times of the scene)%s\n",
                base.c_str(), times.size(), video->getWidth(), video->getHeight(),
                (*high - *low) / 1e6, decoded ? ", the first decodes" : "");
    return decoded ? 0 : 1;
}
