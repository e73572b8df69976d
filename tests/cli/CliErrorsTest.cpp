// Bad command lines, missing and junk files, outputs that exist: each gives
// its exit status and one clear line on stderr, and overwrites nothing.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "CliRunner.h"
#include "support/Streams.h"

namespace orvane::test {
namespace {

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(CliErrors, OneClearLineAndTheRightExitStatus) {
    ScratchDir scratch;
    writeSceneRecording(scratch.file("rec.raw"), 1 << 20, 3);
    std::string junk(300000, '\0');
    std::mt19937 random(5);
    for (char& c : junk)
        c = static_cast<char>(random());
    junk[0] = 'J';  // no '%': no header
    writeText(scratch.file("junk.raw"), junk);
    writeText(scratch.file("text.raw"), "these are my notes\n");
    writeText(scratch.file("evt2.raw"), "% evt 2.0\n% end\nabcd");
    writeText(scratch.file("geometry.raw"), "% geometry axb\n% end\n");
    writeText(scratch.file("junk.mp4"), junk);
    const std::string existing = "keep me\n";
    for (const char* name : {"old.raw", "old.png", "old.csv", "old.mp4"}) {
        writeText(scratch.file(name), existing);
    }
    const std::map<std::string, std::string> camera = {{"ORVANE_SIM", "evk4:SIM-1,delays=log"}};

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;  // part of the one line
    };
    const std::vector<Case> cases = {
        {{"bogus"}, 2, "'bogus' is not a subcommand"},
        {{"info"}, 2, "FILE is required"},
        {{"info", "rec.raw", "--bogus"}, 2, "--bogus"},
        {{"cut", "rec.raw", "x.raw", "--to", "1s"}, 2, "--from is required"},
        {{"cut", "rec.raw", "x.raw", "--from", "1x", "--to", "2s"}, 2, "'1x' is not a time"},
        {{"cut", "rec.raw", "x.raw", "--from", "-1s", "--to", "2s"}, 2, "is not a time"},
        {{"cut", "rec.raw", "x.raw", "--from", "20ms", "--to", "10ms"}, 2, "is not before"},
        {{"cut", "rec.raw", "x.txt", "--from", "1ms", "--to", "2ms"}, 2, "must end in .raw"},
        {{"render", "rec.raw", "x.png", "--at", "1ms", "--window", "0"}, 2, "--window"},
        {{"export", "rec.raw", "x.mp4", "--slice", "soon"}, 2, "--slice"},
        {{"frames", "x.mp4", "--extract", "first", "x.png"}, 2, "not a picture number"},
        {{"record", "SIM-1", "x.raw", "--stream", "frames"}, 2, "is an event camera"},
        {{"record", "SIM-1", "x.raw", "--stream", "sound"}, 2, "--stream"},
        {{"stream", "SIM-1", "--set", "roi"}, 2, "TOOL.PARAM=VALUE"},
        {{"stream", "SIM-1", "--set", "lens.focus=1"}, 2, "no tool 'lens'"},
        {{"stream", "SIM-1", "--set", "roi.x=5000"}, 2, "roi.x takes int 0..1279"},
        {{"record", "SIM-1", "x.raw", "--set", "biases.bias_diff=on"}, 2, "bias_diff takes int"},
        {{"stream", "SIM-9", "--duration", "1s"}, 1, "SIM-9: no such camera"},
        {{"info", "missing.raw"}, 1, "missing.raw: no such file"},
        {{"info", "junk.raw"}, 1, "junk.raw: not a raw event recording"},
        {{"info", "text.raw"}, 1, "text.raw: not a raw event recording"},
        {{"info", "evt2.raw"}, 1, "evt2.raw: not an EVT 3.0 recording"},
        {{"info", "geometry.raw"}, 1, "geometry.raw: malformed header"},
        {{"info", "junk.mp4"}, 1, "junk.mp4: not a video"},
        {{"info", "rec.txt"}, 1, "must end in .raw"},
        {{"cut", "rec.raw", "x.raw", "--from", "1000s", "--to", "1001s"}, 1, "holds no time"},
        {{"cut", "rec.raw", "old.raw", "--from", "1ms", "--to", "2ms"}, 1, "old.raw: exists"},
        {{"render", "rec.raw", "old.png", "--at", "1ms"}, 1, "old.png: exists"},
        {{"csv", "rec.raw", "old.csv"}, 1, "old.csv: exists"},
        {{"export", "rec.raw", "old.mp4"}, 1, "old.mp4: exists"},
        {{"record", "SIM-1", "old.raw", "--duration", "1s"}, 1, "old.raw: exists"},
        {{"frames", "junk.mp4"}, 1, "junk.mp4: not a video"},
    };
    for (const Case& c : cases) {
        std::string command;
        for (const std::string& a : c.args)
            command += a + " ";
        SCOPED_TRACE(command);
        CliRun run = runOrvane(c.args, camera, scratch.path());
        EXPECT_EQ(run.status, c.status) << describe(run);
        ASSERT_EQ(run.errLines().size(), 1u) << describe(run);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(run.err.rfind("orvane", 0), 0u) << "the line names the program: " << run.err;
    }
    for (const char* name : {"old.raw", "old.png", "old.csv", "old.mp4"}) {
        EXPECT_EQ(readText(scratch.file(name)), existing) << name << " was overwritten";
    }
    EXPECT_FALSE(std::ifstream(scratch.file("x.raw")).good()) << "a failed cut leaves no file";

    // Junk behind a sound header reads, with a warning that names the file.
    writeText(scratch.file("noise.raw"), "% evt 3.0\n% end\n" + junk);
    CliRun noise = runOrvane({"info", "noise.raw", "--json"}, {}, scratch.path());
    EXPECT_EQ(noise.status, 0) << describe(noise);
    ASSERT_EQ(noise.errLines().size(), 1u) << describe(noise);
    EXPECT_NE(noise.err.find("warning: Raw file noise.raw does not look like EVT 3.0"),
              std::string::npos)
        << noise.err;

    // --force overwrites.
    CliRun forced = runOrvane(
        {"cut", "rec.raw", "old.raw", "--from", "1ms", "--to", "20ms", "--force", "--quiet"}, {},
        scratch.path());
    EXPECT_EQ(forced.status, 0) << describe(forced);
    EXPECT_NE(readText(scratch.file("old.raw")), existing);
}

// Children started while it lives get at most `bytes` of address space. None
// under the sanitizers, whose shadow memory alone needs far more.
class AddressSpaceLimit {
  public:
    explicit AddressSpaceLimit(rlim_t bytes) {
        getrlimit(RLIMIT_AS, &previous_);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        rlimit limit = previous_;
        limit.rlim_cur = std::min(bytes, previous_.rlim_max);
        setrlimit(RLIMIT_AS, &limit);
#else
        (void)bytes;
#endif
    }
    ~AddressSpaceLimit() {
        setrlimit(RLIMIT_AS, &previous_);
    }
    AddressSpaceLimit(const AddressSpaceLimit&) = delete;
    AddressSpaceLimit& operator=(const AddressSpaceLimit&) = delete;

  private:
    rlimit previous_{};
};

// A geometry no EVT 3.0 word can address never sizes a picture: render gives a
// picture of the default size with a warning naming the file and the line, or a
// named error; never bad_alloc, even with little address space.
TEST(CliErrors, OddHeaderGeometryGivesAPictureOrANamedError) {
    ScratchDir scratch;
    writeSceneRecording(scratch.file("rec.raw"), 1 << 20, 3);
    const std::vector<uint8_t> payload = readRawFile(scratch.file("rec.raw")).payload;
    struct Odd {
        std::string header;
        int status;
        std::string says;
    };
    const std::vector<Odd> odd = {
        {"% evt 3.0\n% geometry -1x-1\n% end\n", 0, "odd.raw, header line 2: a geometry of -1x-1"},
        {"% geometry 65535x65535\n% end\n", 0, "odd.raw, header line 1: a geometry of 65535x"},
        {"% geometry 70000x70000\n% end\n", 0, "odd.raw, header line 1: a geometry of 70000x"},
        {"% geometry 0x0\n% end\n", 0, "odd.raw, header line 1: a geometry of 0x0"},
        {"% format EVT3;height=40000;width=40000\n% end\n", 0, "odd.raw, header line 1"},
        {"% geometry 99999999999x1\n% end\n", 1, "odd.raw: malformed header"},
    };
    AddressSpaceLimit limit(rlim_t{3} << 30);
    for (const Odd& c : odd) {
        SCOPED_TRACE(c.header);
        writeRawFile(scratch.file("odd.raw"), c.header, payload);
        std::filesystem::remove(scratch.file("odd.png"));
        CliRun run = runOrvane({"render", "odd.raw", "odd.png", "--at", "20ms", "--quiet"}, {},
                               scratch.path());
        EXPECT_EQ(run.status, c.status) << describe(run);
        EXPECT_EQ(run.err.find("bad_alloc"), std::string::npos) << run.err;
        ASSERT_EQ(run.errLines().size(), 1u) << describe(run);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        if (c.status == 0) {
            EXPECT_NE(run.out.find("(1280 x 720)"), std::string::npos) << run.out;
        }
    }
}

// Header text is bytes from outside: what is not UTF-8 is shown replaced.
TEST(CliErrors, HeaderTextThatIsNotUtf8IsShownReplaced) {
    ScratchDir scratch;
    writeSceneRecording(scratch.file("rec.raw"), 1 << 18, 3);
    const std::vector<uint8_t> payload = readRawFile(scratch.file("rec.raw")).payload;
    writeRawFile(scratch.file("latin1.raw"), "% evt 3.0\n% name caf\xe9\n% end\n", payload);
    CliRun run = runOrvane({"info", "latin1.raw", "--json"}, {}, scratch.path());
    ASSERT_EQ(run.status, 0) << describe(run);
    const nlohmann::json info = nlohmann::json::parse(run.out);
    EXPECT_EQ(info["header"]["name"], "caf\xef\xbf\xbd") << "U+FFFD replaces the byte";
}

// A FIFO, a device or a socket under a recording's name is refused at once: it
// would block every reader waiting for a writer.
TEST(CliErrors, WhatIsNotARegularFileIsRefusedWithoutWaiting) {
    ScratchDir scratch;
    for (const char* name : {"f.raw", "f.mp4"}) {
        ASSERT_EQ(mkfifo(scratch.file(name).c_str(), 0600), 0);
    }
    const std::vector<std::vector<std::string>> commands = {
        {"info", "f.raw"},
        {"csv", "f.raw", "out.csv"},
        {"render", "f.raw", "out.png", "--at", "1ms"},
        {"cut", "f.raw", "out.raw", "--from", "1ms", "--to", "2ms"},
        {"frames", "f.mp4"},
        {"info", "f.mp4"},
        {"info", "null.raw"}};
    std::filesystem::create_symlink("/dev/null", scratch.file("null.raw"));
    for (const auto& args : commands) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        CliRun run = runOrvane(args, {}, scratch.path(), std::chrono::seconds(20));
        EXPECT_EQ(run.status, 1) << describe(run);
        ASSERT_EQ(run.errLines().size(), 1u) << describe(run);
        EXPECT_NE(run.err.find(args[1] + ": not a regular file"), std::string::npos) << run.err;
    }
}

// An MP4 whose sample entry names another codec leaves FFmpeg's decoder without
// a picture format: a named error, never an abort in the scaler.
TEST(CliErrors, DamagedVideosFailWithANamedError) {
    ScratchDir scratch;
    writeSceneRecording(scratch.file("rec.raw"), 1 << 20, 3);
    CliRun exported = runOrvane({"export", "rec.raw", "v.mp4", "--quiet"}, {}, scratch.path());
    ASSERT_EQ(exported.status, 0) << describe(exported);
    const std::string video = readText(scratch.file("v.mp4"));
    for (const char* codec : {"hvc1", "vp09", "av01", "png ", "apcn", "zzzz"}) {
        SCOPED_TRACE(codec);
        std::string damaged = video;
        const size_t entry = damaged.rfind("avc1");  // the sample entry, after the file's brands
        ASSERT_NE(entry, std::string::npos);
        damaged.replace(entry, 4, codec);
        writeText(scratch.file("bad.mp4"), damaged);
        for (const char* command : {"info", "frames"}) {
            CliRun run = runOrvane({command, "bad.mp4"}, {}, scratch.path());
            EXPECT_EQ(run.status, 1) << command << ": " << describe(run);
            ASSERT_EQ(run.errLines().size(), 1u) << describe(run);
            EXPECT_NE(run.err.find(std::string("orvane ") + command + ": bad.mp4: "),
                      std::string::npos)
                << run.err;
        }
    }
}

// Leftovers: the signal that stopped a run is named; a range past the end or
// without events says so in words; simulated rates beyond the sensor's peak are refused, and the
// highest accepted one still stops at once.
TEST(CliErrors, SignalsRangesAndRatesAreNamed) {
    ScratchDir scratch;
    writeSceneRecording(scratch.file("rec.raw"), 1 << 20, 3);
    const std::map<std::string, std::string> camera = {{"ORVANE_SIM", "evk4:SIM-1,delays=log"}};
    CliRun terminated = runOrvane({"stream", "SIM-1", "--duration", "0"}, camera, scratch.path(),
                                  std::chrono::seconds(60), "Mev/s", 0, SIGTERM);
    EXPECT_EQ(terminated.status, 0) << describe(terminated);
    EXPECT_NE(terminated.out.find("stopped by SIGTERM after"), std::string::npos) << terminated.out;
    CliRun interrupted = runOrvane({"stream", "SIM-1", "--duration", "0"}, camera, scratch.path(),
                                   std::chrono::seconds(60), "Mev/s", 0, SIGINT);
    EXPECT_NE(interrupted.out.find("stopped by Ctrl-C after"), std::string::npos)
        << interrupted.out;

    CliRun late = runOrvane({"export", "rec.raw", "x.mp4", "--from", "100s"}, {}, scratch.path());
    EXPECT_EQ(late.status, 1) << describe(late);
    EXPECT_NE(late.err.find("holds no time from 100 s to the end"), std::string::npos) << late.err;
    // A recording without events makes no video, which no player could open.
    writeRawFile(scratch.file("empty.raw"), recordingHeader(), {});
    for (const char* slice : {"33333us", "10ms"}) {
        CliRun empty =
            runOrvane({"export", "empty.raw", "e.mp4", "--slice", slice}, {}, scratch.path());
        EXPECT_EQ(empty.status, 1) << describe(empty);
        EXPECT_NE(empty.err.find("e.mp4: "), std::string::npos) << empty.err;
        EXPECT_NE(empty.err.find("o events"), std::string::npos) << empty.err;
        EXPECT_FALSE(std::filesystem::exists(scratch.file("e.mp4")));
    }

    CliRun absurd = runOrvane({"stream", "SIM-1", "--duration", "1s"},
                              {{"ORVANE_SIM", "evk4:SIM-1,delays=log,rate=1e12"}}, scratch.path(),
                              std::chrono::seconds(60));
    EXPECT_EQ(absurd.status, 1) << describe(absurd);
    EXPECT_NE(absurd.err.find("beyond the simulated sensor's peak"), std::string::npos)
        << absurd.err;
    CliRun peak = runOrvane({"stream", "SIM-1", "--duration", "500ms", "--quiet"},
                            {{"ORVANE_SIM", "evk4:SIM-1,delays=log,rate=1.066e9"}}, scratch.path(),
                            std::chrono::seconds(60));
    EXPECT_EQ(peak.status, 0) << describe(peak);
}

TEST(CliErrors, HelpOnEverySubcommandHasAnExample) {
    CliRun top = runOrvane({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("Example"), std::string::npos) << top.out;
    for (const char* sub : {"list", "tools", "stream", "record", "info", "cut", "export", "render",
                            "frames", "csv"}) {
        SCOPED_TRACE(sub);
        CliRun run = runOrvane({sub, "--help"});
        EXPECT_EQ(run.status, 0) << describe(run);
        EXPECT_NE(run.out.find(std::string("Example:\n  orvane ") + sub), std::string::npos)
            << run.out;
    }
    CliRun bare = runOrvane({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_NE(bare.err.find("Subcommands:"), std::string::npos) << bare.err;
}

}  // namespace
}  // namespace orvane::test
