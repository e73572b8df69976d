// convert: the formats chosen by the extensions, what it refuses, and Ctrl-C.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "CliRunner.h"
#include "support/Streams.h"

namespace orvane::test {
namespace {

namespace fs = std::filesystem;

TEST(CliConvert, RefusesPairsItCannotConvertAndOutputsItMustNotTouch) {
    ScratchDir scratch;
    writeSceneRecording(scratch.file("rec.raw"), 1 << 20, 3);
    for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
             {"rec.raw", "out.txt"}, {"rec.raw", "out.raw"}, {"rec.raw", "out"}}) {
        const CliRun run = runOrvane({"convert", in, out}, {}, scratch.path());
        EXPECT_EQ(run.status, 2) << describe(run);
        EXPECT_NE(run.err.find("supported: .raw to .h5, .npy or .npz; .h5 to .raw; .csv to .raw"),
                  std::string::npos)
            << run.err;
    }
    const CliRun h5ToNpy = runOrvane({"convert", "a.h5", "b.npy"}, {}, scratch.path());
    EXPECT_NE(h5ToNpy.err.find("orvane convert: cannot convert .h5 to .npy; supported"),
              std::string::npos)
        << h5ToNpy.err;
    EXPECT_EQ(runOrvane({"convert", "rec.raw", "o.h5", "--compression", "lz4"}, {}, scratch.path())
                  .status,
              2);

    // The input under another name: refused, with or without --force.
    fs::create_hard_link(scratch.file("rec.raw"), scratch.file("same.h5"));
    const std::string original = readText(scratch.file("rec.raw"));
    for (bool force : {false, true}) {
        std::vector<std::string> args = {"convert", "rec.raw", "same.h5"};
        if (force) {
            args.push_back("--force");
        }
        const CliRun run = runOrvane(args, {}, scratch.path());
        EXPECT_EQ(run.status, 2) << describe(run);
        EXPECT_NE(run.err.find("same.h5: is the input rec.raw"), std::string::npos) << run.err;
    }
    EXPECT_EQ(readText(scratch.file("rec.raw")), original);

    // An existing output stays as it was without --force.
    std::ofstream(scratch.file("old.h5")) << "someone's file";
    const CliRun kept = runOrvane({"convert", "rec.raw", "old.h5"}, {}, scratch.path());
    EXPECT_EQ(kept.status, 1) << describe(kept);
    EXPECT_NE(kept.err.find("old.h5: exists already (use --force to overwrite it)"),
              std::string::npos)
        << kept.err;
    EXPECT_EQ(readText(scratch.file("old.h5")), "someone's file");
    EXPECT_EQ(
        runOrvane({"convert", "rec.raw", "old.h5", "--force", "-q"}, {}, scratch.path()).status, 0);
    EXPECT_NE(readText(scratch.file("old.h5")), "someone's file");

    // A range that misses the recording.
    const CliRun missed =
        runOrvane({"convert", "rec.raw", "late.h5", "--from", "1000s"}, {}, scratch.path());
    EXPECT_EQ(missed.status, 1) << describe(missed);
    EXPECT_NE(missed.err.find("rec.raw: holds nothing from 1000 s to the end"), std::string::npos)
        << missed.err;
    EXPECT_FALSE(fs::exists(scratch.file("late.h5")));

    // An input that is not what its name says.
    std::ofstream(scratch.file("fake.h5")) << "x,y,p,t\n";
    const CliRun fake = runOrvane({"convert", "fake.h5", "fake.raw"}, {}, scratch.path());
    EXPECT_EQ(fake.status, 1) << describe(fake);
    EXPECT_NE(fake.err.find("fake.h5: not an HDF5 file"), std::string::npos) << fake.err;
    EXPECT_FALSE(fs::exists(scratch.file("fake.raw")));
    EXPECT_EQ(leftovers(scratch.path()), std::vector<std::string>{});
}

TEST(CliConvert, RealRecordingThroughHdf5AndCsvBackToTheSameEvents) {
    const auto paths = realRecordings();
    if (paths.empty()) {
        GTEST_SKIP() << "no real recordings: ../shared/data/evt3 is absent";
    }
    ScratchDir scratch;
    // The one with trigger edges.
    std::string source;
    for (const std::string& path : paths) {
        if (path.find("trigger") != std::string::npos) {
            source = path;
        }
    }
    ASSERT_FALSE(source.empty());
    fs::copy_file(source, scratch.file("rec.raw"));
    const PlainDecoded original = plainDecodeFile(scratch.file("rec.raw"));
    ASSERT_FALSE(original.triggers.empty());

    CliRun run = runOrvane({"convert", "rec.raw", "rec.h5", "-q"}, {}, scratch.path());
    ASSERT_EQ(run.status, 0) << describe(run);
    EXPECT_NE(run.out.find("converted " + std::to_string(original.events.size()) + " events and " +
                           std::to_string(original.triggers.size()) + " trigger edges"),
              std::string::npos)
        << run.out;
    run = runOrvane({"convert", "rec.h5", "back.raw", "-q"}, {}, scratch.path());
    ASSERT_EQ(run.status, 0) << describe(run);
    const PlainDecoded back = plainDecodeFile(scratch.file("back.raw"));
    EXPECT_EQ(firstDifference(back.events, original.events), "");
    EXPECT_EQ(back.triggers.size(), original.triggers.size());
    // Indexed on the way: the next reader finds the side file.
    EXPECT_TRUE(fs::exists(scratch.file("back.ovmark.tmp")));

    run = runOrvane({"csv", "rec.raw", "events.csv", "-q"}, {}, scratch.path());
    ASSERT_EQ(run.status, 0) << describe(run);
    run = runOrvane({"convert", "events.csv", "fromcsv.raw", "-q"}, {}, scratch.path());
    ASSERT_EQ(run.status, 0) << describe(run);
    EXPECT_EQ(firstDifference(plainDecodeFile(scratch.file("fromcsv.raw")).events, original.events),
              "");

    // A line that is not an event names its place.
    std::ofstream(scratch.file("bad.csv")) << "x,y,p,t\n1,2,1,10\n3,4,2,11\n";
    run = runOrvane({"convert", "bad.csv", "bad.raw"}, {}, scratch.path());
    EXPECT_EQ(run.status, 1) << describe(run);
    EXPECT_NE(run.err.find("bad.csv:3: '3,4,2,11' is not x,y,p,t"), std::string::npos) << run.err;
    std::ofstream(scratch.file("small.csv")) << "x,y,p,t\n1,2,1,10\n700,4,0,11\n";
    run = runOrvane({"convert", "small.csv", "small.raw", "--geometry", "640x480"}, {},
                    scratch.path());
    EXPECT_NE(run.err.find("small.csv:3: (700, 4) lies outside the 640x480 geometry"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(scratch.file("small.raw")));
    EXPECT_EQ(leftovers(scratch.path()), std::vector<std::string>{});
}

TEST(CliConvert, CtrlCLeavesNothingBehind) {
    ScratchDir scratch;
    writeSceneRecording(scratch.file("rec.raw"), 96 << 20, 5);
    for (const char* output : {"out.h5", "out.npz"}) {
        SCOPED_TRACE(output);
        const CliRun run = runOrvane({"convert", "rec.raw", output}, {}, scratch.path(),
                                     std::chrono::seconds(300), "converting");
        EXPECT_EQ(run.status, 1) << describe(run);
        EXPECT_NE(run.err.find(std::string("stopped by Ctrl-C; ") + output + " not written"),
                  std::string::npos)
            << run.err;
        EXPECT_FALSE(fs::exists(scratch.file(output)));
        EXPECT_EQ(leftovers(scratch.path()), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace orvane::test
