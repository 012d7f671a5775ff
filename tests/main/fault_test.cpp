// The built quorvex binary under faults: outputs that cannot be written, an encode killed
// mid-run, a frame directory that changes after encoding, and input the bounds cannot hold.
// Each case runs the real command in a fresh directory and checks status, messages and files.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/synth.hpp"

extern char** environ;

namespace quorvex {
namespace {

namespace fs = std::filesystem;

const std::string kQx = QX_BINARY_DIR "/quorvex";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `script` with bash in `cwd`; $QX is the binary.
Outcome run(const fs::path& cwd, const std::string& script) {
    const std::string cmd =
        "cd '" + cwd.string() + "' && QX='" + kQx + "' bash -c '" + script + "' >.stdout 2>.stderr";
    const int raw = std::system(cmd.c_str());
    Outcome r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(cwd / ".stdout");
    r.err = slurp(cwd / ".stderr");
    fs::remove(cwd / ".stdout");
    fs::remove(cwd / ".stderr");
    return r;
}

// The last line of a stream, without its line break.
std::string last_line(const std::string& s) {
    std::string t = s;
    if (!t.empty() && t.back() == '\n') t.pop_back();
    const size_t nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

// Names in dir that look like an abandoned temporary file of a whole-file write.
std::vector<std::string> temp_leftovers(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(".tmp-") != std::string::npos)
            out.push_back(e.path().filename());
    return out;
}

// A fresh directory holding frames/ with a small sequence.
class Fault : public ::testing::Test {
  protected:
    void SetUp() override { frames = write_sequence(4, 50); }
    Frames write_sequence(uint64_t t, uint64_t n) {
        test::SynthParams p;
        p.t = t;
        p.n = n;
        p.seed = 9;
        Frames f = test::make_frames(p);
        fs::create_directories(dir / "frames");
        names = test::write_frames(dir / "frames", f);
        return f;
    }
    test::TempDir dir{"fault"};
    Frames frames;
    std::vector<std::string> names;
};

TEST_F(Fault, OutputInMissingDirectory) {
    Outcome r = run(dir.path(), "\"$QX\" encode -i frames -o missing/out.quorvex");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.err), "Error: No such file or directory");
    EXPECT_EQ(r.err.find("verify ("), std::string::npos) << "nothing is verified";
    EXPECT_FALSE(fs::exists(dir / "missing"));

    ASSERT_EQ(run(dir.path(), "\"$QX\" encode -i frames -o out.quorvex").status, 0);
    r = run(dir.path(), "\"$QX\" decode out.quorvex --frame 1 -o missing/f.splat");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Fault, OutputOnAFullDevice) {
    struct stat st {};
    if (::stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode) || ::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/full";
    Outcome r = run(dir.path(), "\"$QX\" encode -i frames -o /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.err), "Error: No space left on device");
    ASSERT_EQ(run(dir.path(), "\"$QX\" encode -i frames -o out.quorvex --perm-out /dev/full").status, 1);
    ASSERT_EQ(run(dir.path(), "\"$QX\" encode -i frames -o out.quorvex").status, 0);
    r = run(dir.path(), "\"$QX\" decode out.quorvex -o /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: No space left on device\n");
}

TEST_F(Fault, FailedWriteKeepsThePreviousFile) {
    // A file-size limit of 1 KiB (with SIGXFSZ ignored, so the write fails with EFBIG) stops
    // the write of the container and of the decoded frame part way.
    test::write_text(dir / "out.quorvex", "previous container");
    test::write_text(dir / "f.splat", "previous frame");
    const std::string limited = "trap \"\" XFSZ; ulimit -f 1; ";
    Outcome r = run(dir.path(), limited + "exec \"$QX\" encode -i frames -o out.quorvex");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.err), "Error: File too large");
    EXPECT_EQ(slurp(dir / "out.quorvex"), "previous container");
    EXPECT_EQ(temp_leftovers(dir.path()), std::vector<std::string>{});

    ASSERT_EQ(run(dir.path(), "\"$QX\" encode -i frames -o good.quorvex").status, 0);
    r = run(dir.path(), limited + "exec \"$QX\" decode good.quorvex --frame 2 -o f.splat");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: File too large\n");
    EXPECT_EQ(slurp(dir / "f.splat"), "previous frame");
    EXPECT_EQ(temp_leftovers(dir.path()), std::vector<std::string>{});

    // An output path that is a directory: refused, the directory left as it was.
    fs::create_directory(dir / "taken");
    test::write_text(dir / "taken" / "keep", "x");
    r = run(dir.path(), "\"$QX\" encode -i frames -o taken");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.err), "Error: Is a directory");
    EXPECT_EQ(slurp(dir / "taken" / "keep"), "x");
    EXPECT_EQ(temp_leftovers(dir.path()), std::vector<std::string>{});
}

TEST_F(Fault, EncodeKilledWhileWritingLeavesNoPartialFile) {
    // Without SIGXFSZ ignored, going past the file-size limit kills the process in the middle
    // of writing the container.
    test::write_text(dir / "out.quorvex", "previous container");
    Outcome r = run(dir.path(), "ulimit -f 1; exec \"$QX\" encode -i frames -o out.quorvex");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(slurp(dir / "out.quorvex"), "previous container");
    EXPECT_EQ(temp_leftovers(dir.path()), std::vector<std::string>{});
}

TEST_F(Fault, KilledEncodeLeavesThePreviousContainer) {
    // Large enough that zstd's top level keeps the encoder busy long after the kill.
    fs::remove_all(dir / "frames");
    write_sequence(2, 40000);
    ASSERT_EQ(run(dir.path(), "\"$QX\" encode -i frames -o out.quorvex --pos-mm 20 --no-verify").status, 0);
    const std::string before = slurp(dir / "out.quorvex");

    const std::string out = (dir / "out.quorvex").string();
    const std::string in = (dir / "frames").string();
    std::vector<std::string> args = {kQx, "encode", "-i", in, "-o", out, "--zstd-level", "22", "--no-verify"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, kQx.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the encode ended before it was killed";

    EXPECT_EQ(slurp(dir / "out.quorvex"), before);
}

TEST_F(Fault, ContainerFromAPipeButNotFromADevice) {
    ASSERT_EQ(run(dir.path(), "\"$QX\" encode -i frames -o out.quorvex").status, 0);
    Outcome r = run(dir.path(), "cat out.quorvex | \"$QX\" info /dev/stdin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, run(dir.path(), "\"$QX\" info out.quorvex").out);
    // /dev/zero would be read for ever.
    r = run(dir.path(), "\"$QX\" info /dev/zero");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: /dev/zero\n\nCaused by:\n    not a regular file\n");
}

TEST_F(Fault, VerifyCatchesFramesChangedAfterEncoding) {
    ASSERT_EQ(run(dir.path(), "\"$QX\" encode -i frames -o out.quorvex").status, 0);
    Outcome r = run(dir.path(), "\"$QX\" verify out.quorvex -i frames");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(last_line(r.out), "BOUNDS VERIFIED");

    // One splat of one frame moved by a metre.
    auto records = test::frame_records(frames, 2);
    records[5].pos[0] += 1.0f;
    test::write_splats(dir / "frames" / names[2], records);
    r = run(dir.path(), "\"$QX\" verify out.quorvex -i frames");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.out), "BOUNDS VIOLATED");
    EXPECT_EQ(r.err, "");

    // A frame removed.
    fs::remove(dir / "frames" / names[3]);
    r = run(dir.path(), "\"$QX\" verify out.quorvex -i frames");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: reference mismatch: file 4x50, reference 3x50\n");
}

TEST_F(Fault, InputTheBoundsCannotHoldIsRefusedBeforeEncoding) {
    struct Case {
        const char* what;
        void (*spoil)(test::SplatRecord&);
        const char* message;
    };
    const Case cases[] = {
        {"infinite position",
         [](test::SplatRecord& s) { s.pos[2] = -std::numeric_limits<float>::infinity(); },
         "position that cannot be held within the bounds (-inf)"},
        {"infinite scale", [](test::SplatRecord& s) { s.scale[0] = std::numeric_limits<float>::infinity(); },
         "scale that cannot be held within the bounds (inf)"},
        {"huge position", [](test::SplatRecord& s) { s.pos[1] = 3e38f; },
         "position that cannot be held within the bounds (3e+38)"},
    };
    for (const Case& c : cases) {
        auto records = test::frame_records(frames, 2);
        const auto saved = records;
        c.spoil(records[7]);
        test::write_splats(dir / "frames" / names[2], records);
        Outcome r = run(dir.path(), "\"$QX\" encode -i frames -o out.quorvex");
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, std::string("Error: frames/frame_00002.splat: splat 7 has a ") + c.message + "\n")
            << c.what;
        EXPECT_FALSE(fs::exists(dir / "out.quorvex")) << c.what;
        test::write_splats(dir / "frames" / names[2], saved);
    }
    // NaN is no refusal: it encodes and verifies.
    auto records = test::frame_records(frames, 1);
    records[3].pos = {std::nanf(""), std::nanf(""), std::nanf("")};
    records[4].scale[1] = std::nanf("");
    test::write_splats(dir / "frames" / names[1], records);
    Outcome r = run(dir.path(), "\"$QX\" encode -i frames -o out.quorvex");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(last_line(r.err), "  BOUNDS VERIFIED");
}

}  // namespace
}  // namespace quorvex
