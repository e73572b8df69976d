// What the commands write: never their input, whatever the output's spelling;
// never a partial file under the output's name; and a failed write is a failed
// command.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "CliRunner.h"
#include "support/Streams.h"

namespace orvane::test {
namespace {

namespace fs = std::filesystem;

std::string commandText(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args)
        text += a + " ";
    return text;
}

TEST(CliOutputs, AnOutputThatIsTheInputIsRefusedWithOrWithoutForce) {
    ScratchDir scratch;
    writeSceneRecording(scratch.file("rec.raw"), 1 << 20, 3);
    const std::string original = readText(scratch.file("rec.raw"));
    fs::create_directory(scratch.file("sub"));
    fs::create_symlink("rec.raw", scratch.file("link.raw"));
    // Hard links with the extensions each command requires of its output.
    for (const char* name : {"hard.raw", "hard.csv", "hard.png", "hard.mp4"}) {
        fs::create_hard_link(scratch.file("rec.raw"), scratch.file(name));
    }
    std::ofstream(scratch.file("v.mp4"), std::ios::binary) << "not a video, and not to be lost";
    fs::create_hard_link(scratch.file("v.mp4"), scratch.file("v.png"));
    const std::string video = readText(scratch.file("v.mp4"));

    std::vector<std::vector<std::string>> commands;
    for (const std::string& same :
         {std::string("rec.raw"), std::string("./rec.raw"), scratch.file("rec.raw"),
          std::string("sub/../rec.raw"), std::string("link.raw"), std::string("hard.raw")}) {
        commands.push_back({"cut", "rec.raw", same, "--from", "1ms", "--to", "2ms"});
    }
    commands.push_back({"csv", "rec.raw", "hard.csv"});
    commands.push_back({"render", "rec.raw", "hard.png", "--at", "1ms"});
    commands.push_back({"export", "rec.raw", "hard.mp4"});
    commands.push_back({"frames", "v.mp4", "--extract", "0", "v.png"});
    for (const std::vector<std::string>& command : commands) {
        for (bool force : {false, true}) {
            std::vector<std::string> args = command;
            if (force)
                args.push_back("--force");
            SCOPED_TRACE(commandText(args));
            CliRun run = runOrvane(args, {}, scratch.path());
            EXPECT_EQ(run.status, 2) << describe(run);
            ASSERT_EQ(run.errLines().size(), 1u) << describe(run);
            EXPECT_NE(run.err.find("is the input"), std::string::npos) << run.err;
        }
    }
    // A picture is never written over a video of another extension.
    CliRun frames =
        runOrvane({"frames", "v.mp4", "--extract", "3", "v.mp4", "--force"}, {}, scratch.path());
    EXPECT_EQ(frames.status, 2) << describe(frames);
    EXPECT_NE(frames.err.find("must end in .png"), std::string::npos) << frames.err;

    EXPECT_EQ(readText(scratch.file("rec.raw")), original) << "the recording was changed";
    EXPECT_EQ(readText(scratch.file("v.mp4")), video) << "the video was changed";
    EXPECT_EQ(leftovers(scratch.path()), std::vector<std::string>{});
}

TEST(CliOutputs, AFailedWriteFailsTheCommandAndKeepsWhatWasThere) {
    ScratchDir scratch;
    writeSceneRecording(scratch.file("rec.raw"), 1 << 20, 3);
    const std::string existing = "an earlier result, kept when the new one fails\n";
    for (const char* name : {"old.raw", "old.csv"}) {
        std::ofstream(scratch.file(name), std::ios::binary) << existing;
    }
    // Writes beyond 64 KiB fail as on a full disk.
    constexpr uint64_t kLimit = 64 << 10;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cut", "rec.raw", "old.raw", "--from", "0", "--to", "900ms",
                                   "--force", "--quiet"},
          std::vector<std::string>{"csv", "rec.raw", "old.csv", "--force", "--quiet"}}) {
        SCOPED_TRACE(commandText(args));
        CliRun run = runOrvane(args, {}, scratch.path(), std::chrono::seconds(120), "", kLimit);
        EXPECT_EQ(run.status, 1) << describe(run);
        ASSERT_EQ(run.errLines().size(), 1u) << describe(run);
        EXPECT_NE(run.err.find(args[2]), std::string::npos) << "names the file: " << run.err;
        EXPECT_EQ(readText(scratch.file(args[2])), existing);
    }

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitized build may not reach the limit in time.)
    // A recording that runs out of room keeps the whole device buffers that
    // fitted, says what that is, and fails naming the file, not its temporary
    // name.
    const std::map<std::string, std::string> camera = {
        {"ORVANE_SIM", "evk4:SIM-1,delays=log,rate=4e6"}};
    CliRun record = runOrvane({"record", "SIM-1", "full.raw", "--duration", "4s", "--quiet"},
                              camera, scratch.path(), std::chrono::seconds(120), "", 12 << 20);
    EXPECT_EQ(record.status, 1) << describe(record);
    EXPECT_NE(record.err.find("full.raw"), std::string::npos) << record.err;
    EXPECT_EQ(record.err.find(".orvane-"), std::string::npos) << record.err;
    CliRun info = runOrvane({"info", "full.raw", "--json"}, {}, scratch.path());
    ASSERT_EQ(info.status, 0) << describe(info);
    const uint64_t held = nlohmann::json::parse(info.out)["events"].get<uint64_t>();
    EXPECT_GT(held, 0u);
    char said[32];
    std::snprintf(said, sizeof said, "%.2f M events", held / 1e6);
    EXPECT_NE(record.out.find(said), std::string::npos)
        << "the summary counts what the file holds (" << said << "): " << record.out;
#endif
    EXPECT_EQ(leftovers(scratch.path()), std::vector<std::string>{});
}

TEST(CliOutputs, CtrlCLeavesNoPartialVideo) {
    ScratchDir scratch;
    // About 30 s of events: the export is still running when Ctrl-C comes.
    writeSceneRecording(scratch.file("rec.raw"), 30 << 20, 5);
    CliRun run = runOrvane({"export", "rec.raw", "out.mp4"}, {}, scratch.path(),
                           std::chrono::seconds(300), "exporting");
    EXPECT_EQ(run.status, 1) << describe(run);
    EXPECT_NE(run.err.find("stopped by Ctrl-C; out.mp4 not written"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(scratch.file("out.mp4")));
    EXPECT_EQ(leftovers(scratch.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace orvane::test
