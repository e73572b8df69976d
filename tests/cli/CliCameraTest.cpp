// The camera subcommands on simulated cameras (ORVANE_SIM), run as a user would.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "CliRunner.h"
#include "support/Streams.h"

namespace orvane::test {
namespace {

using Json = nlohmann::ordered_json;  // keeps the order of the tools and parameters

// Sequence delays logged instead of slept: bring-up takes no 2.5 s here.
const std::map<std::string, std::string> kCameras = {
    {"ORVANE_SIM", "evk4:SIM-EVK4,delays=log;brisca:SIM-BRISCA,delays=log,scene=dot"}};

uint64_t numberBefore(const std::string& text, const std::string& words) {
    std::smatch match;
    const std::regex pattern("([0-9]+) " + words);
    return std::regex_search(text, match, pattern) ? std::stoull(match[1]) : 0;
}

// Microseconds of a time as the program shows it: "250 us", "33.333 ms", "1.2 s".
uint64_t shownMicroseconds(const std::string& number, const std::string& unit) {
    const double scale = unit == "s" ? 1e6 : unit == "ms" ? 1e3 : 1;
    return static_cast<uint64_t>(std::llround(std::stod(number) * scale));
}

// How long "recorded 1.2 s to NAMES:" (`verb` "recorded") says the run took, in
// microseconds; 0 when the line is missing. A loaded machine may overshoot.
uint64_t shownDuration(const std::string& out, const std::string& verb, const std::string& names) {
    std::smatch match;
    const std::regex pattern(verb + " ([0-9.]+) (us|ms|s) " + names);
    return std::regex_search(out, match, pattern) ? shownMicroseconds(match[1], match[2]) : 0;
}

TEST(CliCameras, ListAndToolsDescribeTheAttachedCameras) {
    CliRun list = runOrvane({"list", "--json"}, kCameras);
    ASSERT_EQ(list.status, 0) << describe(list);
    const Json cameras = Json::parse(list.out);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0]["serial"], "SIM-BRISCA");
    EXPECT_EQ(cameras[0]["product"], "Brisca");
    EXPECT_EQ(cameras[1]["serial"], "SIM-EVK4");
    EXPECT_EQ(cameras[1]["product"], "EVK4");
    EXPECT_EQ(cameras[1]["manufacturer"], "Prophesee");
    EXPECT_EQ(cameras[1]["family"], "event");

    CliRun text = runOrvane({"list"}, kCameras);
    EXPECT_NE(text.out.find("SIM-EVK4"), std::string::npos) << text.out;
    CliRun none = runOrvane({"list", "--json"}, {{"ORVANE_SIM", ""}});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(Json::parse(none.out), Json::array());
    CliRun broken = runOrvane({"list"}, {{"ORVANE_SIM", "evk4"}});
    EXPECT_EQ(broken.status, 0);
    EXPECT_NE(broken.err.find("ORVANE_SIM"), std::string::npos) << "a bad ORVANE_SIM is reported";

    CliRun tools = runOrvane({"tools", "SIM-EVK4", "--json"}, kCameras);
    ASSERT_EQ(tools.status, 0) << describe(tools);
    const Json all = Json::parse(tools.out);
    EXPECT_EQ(all.size(), 7u);
    std::vector<std::string> roi;
    for (const auto& [name, parameter] : all["roi"]["parameters"].items())
        roi.push_back(name);
    EXPECT_EQ(roi, (std::vector<std::string>{"enable", "mode", "x", "y", "x_width", "y_height"}));
    EXPECT_EQ(all["roi"]["parameters"]["x"]["type"], "int");
    EXPECT_EQ(all["roi"]["parameters"]["x"]["max"], 1279);
    EXPECT_EQ(all["biases"]["parameters"]["bias_diff"]["value"], 77);
}

TEST(CliCameras, StreamShowsEventsAndTriggerEdges) {
    CliRun run =
        runOrvane({"stream", "SIM-EVK4", "--duration", "1200ms", "--set", "trigger_in.enable=true"},
                  kCameras);
    ASSERT_EQ(run.status, 0) << describe(run);
    EXPECT_GE(shownDuration(run.out, "streamed", "from SIM-EVK4:"), 1200000u) << run.out;
    // The simulated trigger input is a 100 Hz square wave (a loaded machine may
    // drop buffers, so only its presence is certain).
    EXPECT_GT(numberBefore(run.out, "trigger edges"), 0u) << run.out;
    // Status lines once a second when stderr is no terminal.
    EXPECT_NE(run.err.find("Mev/s"), std::string::npos) << run.err;

    CliRun quiet = runOrvane(
        {"stream", "SIM-BRISCA", "--duration", "300ms", "--quiet", "--set", "roi.enable=true",
         "--set", "biases.bias_diff=90", "--set", "roi.x=100", "--set", "roi.y=700"},
        kCameras);
    EXPECT_EQ(quiet.status, 0) << describe(quiet);
    EXPECT_EQ(quiet.err, "");
}

TEST(CliCameras, RecordGivesAFileThatInfoReads) {
    ScratchDir scratch;
    CliRun record = runOrvane({"record", "SIM-EVK4", "rec.raw", "--duration", "1s", "--quiet",
                               "--set", "trigger_in.enable=true"},
                              kCameras, scratch.path());
    ASSERT_EQ(record.status, 0) << describe(record);
    EXPECT_GE(shownDuration(record.out, "recorded", "to rec.raw:"), 1000000u) << record.out;
    CliRun info = runOrvane({"info", "rec.raw", "--json"}, {}, scratch.path());
    ASSERT_EQ(info.status, 0) << describe(info);
    const Json facts = Json::parse(info.out);
    // The simulated camera sends 1 Mev/s for the second recorded; a loaded
    // machine may drop buffers, yet the recording spans the second.
    EXPECT_GT(facts["events"].get<uint64_t>(), 0u);
    EXPECT_GT(facts["duration_us"].get<uint64_t>(), 300000u);
    EXPECT_GT(facts["trigger_edges"].get<uint64_t>(), 0u);
    EXPECT_EQ(facts["width"], 1280);
    char held[32];
    std::snprintf(held, sizeof held, ": %.2f M events,", facts["events"].get<uint64_t>() / 1e6);
    EXPECT_NE(record.out.find(held), std::string::npos)
        << "the summary counts the events the file holds (" << held << "): " << record.out;

    // Ctrl-C stops a recording without a duration cleanly: the file is finished.
    CliRun stopped = runOrvane({"record", "SIM-BRISCA", "long.raw", "--duration", "0"}, kCameras,
                               scratch.path(), std::chrono::seconds(60), "recording");
    ASSERT_EQ(stopped.status, 0) << describe(stopped);
    EXPECT_NE(stopped.out.find("stopped by Ctrl-C"), std::string::npos) << stopped.out;
    CliRun stoppedInfo = runOrvane({"info", "long.raw", "--json"}, {}, scratch.path());
    ASSERT_EQ(stoppedInfo.status, 0) << describe(stoppedInfo);
    EXPECT_GT(Json::parse(stoppedInfo.out)["events"].get<uint64_t>(), 0u);
}

TEST(CliCameras, FusionCameraRecordsEventsAndPictures) {
    const std::map<std::string, std::string> fusion = {
        {"ORVANE_SIM", "evk4:SIM-EVK4,delays=log;tandro:SIM-TD,delays=log"}};
    CliRun list = runOrvane({"list", "--json"}, fusion);
    ASSERT_EQ(list.status, 0) << describe(list);
    const Json cameras = Json::parse(list.out);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[1]["serial"], "SIM-TD");
    EXPECT_EQ(cameras[1]["family"], "fusion");

    CliRun tools = runOrvane({"tools", "SIM-TD", "--json"}, fusion);
    ASSERT_EQ(tools.status, 0) << describe(tools);
    EXPECT_TRUE(Json::parse(tools.out).contains("biases")) << tools.out;

    ScratchDir scratch;
    CliRun record = runOrvane({"record", "SIM-TD", "rec.raw", "--stream", "both", "--duration",
                               "1200ms", "--set", "biases.bias_diff=90"},
                              fusion, scratch.path());
    ASSERT_EQ(record.status, 0) << describe(record);
    EXPECT_GE(shownDuration(record.out, "recorded", "to rec.raw and rec.mp4:"), 1200000u)
        << record.out;
    EXPECT_NE(record.out.find("pictures kept of"), std::string::npos) << record.out;
    // One status line a second when stderr is no terminal.
    EXPECT_NE(record.err.find("pictures kept"), std::string::npos) << record.err;

    CliRun events = runOrvane({"info", "rec.raw", "--json"}, {}, scratch.path());
    ASSERT_EQ(events.status, 0) << describe(events);
    EXPECT_GT(Json::parse(events.out)["events"].get<uint64_t>(), 0u) << describe(record);
    EXPECT_EQ(Json::parse(events.out)["width"], 1280);

    CliRun video = runOrvane({"info", "rec.mp4", "--json"}, {}, scratch.path());
    ASSERT_EQ(video.status, 0) << describe(video);
    const Json facts = Json::parse(video.out);
    EXPECT_EQ(facts["width"], 3840);
    const uint64_t pictures = facts["pictures"];
    // A sanitized build's event thread lags: pictures wait for their pulses and
    // fewer are kept, yet the video holds one at least.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    ASSERT_GE(pictures, 1u) << video.out;
#else
    ASSERT_GT(pictures, 1u) << video.out;
    EXPECT_GT(facts["last_us"].get<uint64_t>(), facts["first_us"].get<uint64_t>());
#endif

    CliRun frames = runOrvane({"frames", "rec.mp4"}, {}, scratch.path());
    ASSERT_EQ(frames.status, 0) << describe(frames);
    const std::regex line(R"(\n *[0-9]+  ([0-9.]+) (us|ms|s)(?=\n))");
    std::vector<uint64_t> times;
    for (std::sregex_iterator m(frames.out.begin(), frames.out.end(), line), end; m != end; ++m)
        times.push_back(shownMicroseconds((*m)[1], (*m)[2]));
    ASSERT_EQ(times.size(), pictures) << frames.out;
    for (size_t n = 1; n < times.size(); ++n)
        EXPECT_GT(times[n], times[n - 1]) << "picture " << n << "\n" << frames.out;

    // Frames only: the MP4 beside OUT, no raw file.
    CliRun framesOnly = runOrvane(
        {"record", "SIM-TD", "only.raw", "--stream", "frames", "--duration", "300ms", "--quiet"},
        fusion, scratch.path());
    EXPECT_FALSE(std::filesystem::exists(scratch.file("only.raw")));
    // A loaded machine may bring no picture in 300 ms: the command then says so
    // and leaves no video that nothing could open.
    if (framesOnly.status != 0) {
        EXPECT_NE(framesOnly.err.find("only.mp4 is removed"), std::string::npos) << framesOnly.err;
        EXPECT_FALSE(std::filesystem::exists(scratch.file("only.mp4")));
        std::ofstream(scratch.file("only.mp4")) << "taken";
    }
    EXPECT_TRUE(std::filesystem::exists(scratch.file("only.mp4")));
    // Both refuse an existing MP4 without --force.
    CliRun existing =
        runOrvane({"record", "SIM-TD", "only.raw", "--stream", "both"}, fusion, scratch.path());
    EXPECT_EQ(existing.status, 1) << describe(existing);
    EXPECT_NE(existing.err.find("only.mp4"), std::string::npos) << existing.err;
}

TEST(CliCameras, FusionRecordTakesAPresetAndARateAndFramesTellSensorTimes) {
    const std::map<std::string, std::string> fusion = {
        {"ORVANE_SIM", "evk4:SIM-EVK4,delays=log;tandro:SIM-TD,delays=log"}};
    ScratchDir scratch;
    CliRun record =
        runOrvane({"record", "SIM-TD", "rec.raw", "--stream", "both", "--duration", "1500ms",
                   "--preset", "superfast", "--picture-rate", "10", "--quiet"},
                  fusion, scratch.path());
    ASSERT_EQ(record.status, 0) << describe(record);

    CliRun events = runOrvane({"info", "rec.raw", "--json"}, {}, scratch.path());
    ASSERT_EQ(events.status, 0) << describe(events);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitized build's event thread may deliver no pulse while the video
    // records: then the video has no sensor time to tell.)
    const uint64_t firstEvent = Json::parse(events.out)["first_event_us"];
    const uint64_t lastEvent = Json::parse(events.out)["last_event_us"];
    const std::regex line(R"(\n *[0-9]+  ([0-9.]+) (us|ms|s)(?=\n))");
    auto timesOf = [&](const std::string& out) {
        std::vector<uint64_t> times;
        for (std::sregex_iterator m(out.begin(), out.end(), line), end; m != end; ++m)
            times.push_back(shownMicroseconds((*m)[1], (*m)[2]));
        return times;
    };
    CliRun own = runOrvane({"frames", "rec.mp4"}, {}, scratch.path());
    ASSERT_EQ(own.status, 0) << describe(own);
    CliRun sensor = runOrvane({"frames", "rec.mp4", "--sensor-time"}, {}, scratch.path());
    ASSERT_EQ(sensor.status, 0) << describe(sensor);
    const std::vector<uint64_t> relative = timesOf(own.out), times = timesOf(sensor.out);
    ASSERT_GE(times.size(), 2u) << sensor.out;
    ASSERT_EQ(times.size(), relative.size());
    EXPECT_EQ(relative.front(), 0u) << own.out;
    // The video starts with the events: within a few pictures either way, as a
    // loaded machine starts one stream's file before the other's.
    EXPECT_GE(times.front() + 200000, firstEvent) << sensor.out;
    EXPECT_LE(times.front(), firstEvent + 1000000) << "the video starts with the events";
    EXPECT_LE(times.back(), lastEvent + 100000) << sensor.out;
    for (size_t n = 1; n < times.size(); ++n) {
        EXPECT_GE(times[n] - times[n - 1], 70000u) << "at most 10 pictures a second\n"
                                                   << sensor.out;
    }

#endif
    // Bad values are usage errors, and so is a video option without a video.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"record", "SIM-TD", "x.raw", "--stream", "both", "--preset",
                                   "warp"},
          std::vector<std::string>{"record", "SIM-TD", "x.raw", "--stream", "both",
                                   "--picture-rate", "0"},
          std::vector<std::string>{"record", "SIM-EVK4", "x.raw", "--picture-rate", "5"}}) {
        CliRun refused = runOrvane(args, fusion, scratch.path());
        EXPECT_EQ(refused.status, 2) << describe(refused);
    }
    // A video without sensor times (an export of events) says so.
    writeSceneRecording(scratch.file("scene.raw"), 1 << 20, 5);
    CliRun exported =
        runOrvane({"export", "scene.raw", "events.mp4", "--quiet"}, {}, scratch.path());
    ASSERT_EQ(exported.status, 0) << describe(exported);
    CliRun untied = runOrvane({"frames", "events.mp4", "--sensor-time"}, {}, scratch.path());
    EXPECT_EQ(untied.status, 1) << describe(untied);
    EXPECT_NE(untied.err.find("holds no sensor time"), std::string::npos) << untied.err;
}

}  // namespace
}  // namespace orvane::test
