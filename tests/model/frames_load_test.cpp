#include <fmt/format.h>
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "model/frames.hpp"
#include "support/parallel.hpp"
#include "support/synth.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;
using test::SplatRecord;
using test::TempDir;

// One splat whose x position tags the file it came from.
std::vector<SplatRecord> tagged(float x, size_t count = 1) {
    std::vector<SplatRecord> recs(count);
    for (size_t i = 0; i < count; ++i) recs[i].pos = {x, static_cast<float>(i), 0.0f};
    return recs;
}

std::vector<float> frame_tags(const Frames& f) {
    std::vector<float> xs(f.t);
    for (uint64_t k = 0; k < f.t; ++k) xs[k] = f.pos[k * f.n * 3];
    return xs;
}

uint32_t bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}

Frames load_ok(const fs::path& dir, std::optional<float> fps = std::nullopt) {
    auto r = Frames::load(dir, fps);
    EXPECT_TRUE(r) << r.error().render();
    return r ? std::move(*r) : Frames{};
}

TEST(FramesLoad, ListingSortsNamesAsBytesNotNumbers) {
    TempDir dir("order");
    test::write_splats(dir / "frame_1.splat", tagged(1));
    test::write_splats(dir / "frame_2.splat", tagged(2));
    test::write_splats(dir / "frame_10.splat", tagged(10));
    // Upper case sorts before lower case and UTF-8 bytes after ASCII, whatever the locale.
    test::write_splats(dir / "Z.splat", tagged(-1));
    test::write_splats(dir / "\xc3\xa9.splat", tagged(99));
    Frames f = load_ok(dir.path());
    EXPECT_EQ(f.t, 5u);
    EXPECT_EQ(frame_tags(f), (std::vector<float>{-1, 1, 10, 2, 99}));
}

TEST(FramesLoad, ListingKeepsOnlyTheSplatExtension) {
    TempDir dir("ext");
    test::write_splats(dir / "clip.splat", tagged(1));
    test::write_splats(dir / "x.tar.splat", tagged(2));
    test::write_splats(dir / "..splat", tagged(3));  // the last '.' is not the first character
    for (const char* ignored :
         {".splat", "x.SPLAT", "notes.txt", "a.splat.bak", "splat", "a.splat ", "a.splatx"})
        test::write_splats(dir / ignored, tagged(50));
    Frames f = load_ok(dir.path());
    EXPECT_EQ(frame_tags(f), (std::vector<float>{3, 1, 2}));
    EXPECT_EQ(f.files, (std::vector<fs::path>{dir / "..splat", dir / "clip.splat", dir / "x.tar.splat"}));
}

TEST(FramesLoad, FpsFromOptionOrDefaultWithoutManifest) {
    TempDir dir("fps");
    test::write_splats(dir / "a.splat", tagged(1));
    EXPECT_EQ(load_ok(dir.path()).fps, 30.0f);
    EXPECT_EQ(load_ok(dir.path(), 60.0f).fps, 60.0f);
}

// Needs the manifest parser.
TEST(FramesLoad, ManifestGivesOrderAndFps) {
    TempDir dir("manifest");
    test::write_splats(dir / "frame_00000.splat", tagged(0));
    test::write_splats(dir / "frame_00001.splat", tagged(1));
    test::write_splats(dir / "frame_00002.splat", tagged(2));
    test::write_splats(dir / "other.bin", tagged(7));
    // Reverse order, a file listed twice, a name without the extension; unlisted files ignored.
    std::vector<std::string> files{"frame_00002.splat", "frame_00001.splat", "other.bin",
                                   "frame_00002.splat"};
    test::write_manifest(dir.path(), 24.0f, files);
    Frames f = load_ok(dir.path(), 60.0f);
    EXPECT_EQ(f.fps, 24.0f);
    EXPECT_EQ(frame_tags(f), (std::vector<float>{2, 1, 7, 2}));
    // The file names travel with the frames, for messages about their content.
    std::vector<fs::path> paths;
    for (const std::string& name : files) paths.push_back(dir / name);
    EXPECT_EQ(f.files, paths);
}

// Needs the manifest parser.
TEST(FramesLoad, ManifestAbsoluteEntryStandsAsWritten) {
    TempDir dir("abs");
    TempDir elsewhere("abs-other");
    test::write_splats(elsewhere / "far.splat", tagged(5));
    std::vector<std::string> files{(elsewhere / "far.splat").string()};
    test::write_manifest(dir.path(), 12.0f, files);
    Frames f = load_ok(dir.path());
    EXPECT_EQ(frame_tags(f), (std::vector<float>{5}));
}

TEST(FramesLoad, ConvertsRecords) {
    TempDir dir("convert");
    const float nan_payload = [] {
        uint32_t b = 0x7fc12345u;
        float v;
        std::memcpy(&v, &b, 4);
        return v;
    }();
    const float ln_min = std::log(1e-9f);
    const float inf = std::numeric_limits<float>::infinity();
    // Scales at or below the minimum, negative or NaN all clamp; the rest take ln in f32.
    struct Case {
        float scale;
        float expect;
    };
    const Case cases[] = {
        {0.0f, ln_min},           {-0.0f, ln_min},  {-1.0f, ln_min},       {-inf, ln_min},
        {1e-9f, ln_min},          {1e-12f, ln_min}, {nan_payload, ln_min}, {2.0f, std::log(2.0f)},
        {1e-8f, std::log(1e-8f)}, {inf, inf}};
    std::vector<SplatRecord> recs;
    for (size_t c = 0; c < std::size(cases); c += 3) {
        SplatRecord r;
        r.pos = {-0.0f, nan_payload, 1.5f + static_cast<float>(c)};
        for (size_t j = 0; j < 3; ++j) r.scale[j] = cases[std::min(c + j, std::size(cases) - 1)].scale;
        r.rgb = {1, 128, 255};
        r.alpha = static_cast<uint8_t>(7 + c);
        r.rot = {0, 127, 128, 255};
        recs.push_back(r);
    }
    test::write_splats(dir / "a.splat", recs);
    Frames f = load_ok(dir.path());
    ASSERT_EQ(f.n, recs.size());
    EXPECT_NEAR(ln_min, -20.723f, 1e-3f);
    for (size_t i = 0; i < recs.size(); ++i) {
        for (size_t j = 0; j < 3; ++j) {
            EXPECT_EQ(bits(f.pos[i * 3 + j]), bits(recs[i].pos[j])) << i << "," << j;
            const Case& c = cases[std::min(i * 3 + j, std::size(cases) - 1)];
            EXPECT_EQ(bits(f.scale_log[i * 3 + j]), bits(c.expect)) << "scale " << c.scale;
            EXPECT_EQ(f.rgb[i * 3 + j], recs[i].rgb[j]);
        }
        EXPECT_EQ(f.alpha[i], recs[i].alpha);
        EXPECT_EQ((std::vector<int16_t>(f.rot.begin() + i * 4, f.rot.begin() + i * 4 + 4)),
                  (std::vector<int16_t>{-128, -1, 0, 127}));
    }
}

// Loads one splat per frame with the given rotation bytes and returns the loaded rotations.
std::vector<std::vector<int16_t>> load_rotations(const std::vector<std::array<uint8_t, 4>>& frames) {
    TempDir dir("rot");
    for (size_t k = 0; k < frames.size(); ++k) {
        SplatRecord r;
        r.rot = frames[k];
        // A second splat that never needs flipping keeps the splats independent.
        SplatRecord steady;
        steady.rot = {200, 128, 128, 128};
        std::vector<SplatRecord> recs{r, steady};
        test::write_splats(dir / fmt::format("f{:03}.splat", k), recs);
    }
    Frames f = load_ok(dir.path());
    std::vector<std::vector<int16_t>> out;
    for (uint64_t k = 0; k < f.t; ++k) {
        out.emplace_back(f.rot.begin() + k * 8, f.rot.begin() + k * 8 + 4);
        EXPECT_EQ((std::vector<int16_t>(f.rot.begin() + k * 8 + 4, f.rot.begin() + k * 8 + 8)),
                  (std::vector<int16_t>{72, 0, 0, 0}));
    }
    return out;
}

TEST(FramesLoad, AlignsRotationHemispheres) {
    using Rot = std::vector<int16_t>;
    struct Case {
        const char* what;
        std::vector<std::array<uint8_t, 4>> bytes;
        std::vector<Rot> expect;
    };
    const Case cases[] = {
        {"negated, -128 becomes 127",
         {{0, 128, 128, 128}, {255, 128, 128, 128}},
         {{-128, 0, 0, 0}, {-127, 0, 0, 0}}},
        {"all -128 negate to 127",
         {{255, 255, 255, 255}, {0, 0, 0, 0}},
         {{127, 127, 127, 127}, {127, 127, 127, 127}}},
        {"zero dot product is kept",
         {{200, 128, 128, 128}, {128, 100, 128, 128}},
         {{72, 0, 0, 0}, {0, -28, 0, 0}}},
        {"positive dot product is kept",
         {{200, 100, 128, 128}, {150, 20, 128, 128}},
         {{72, -28, 0, 0}, {22, -108, 0, 0}}},
        // Frame 2 is compared with frame 1 as aligned, not as read.
        {"chain",
         {{228, 128, 128, 128}, {28, 128, 128, 128}, {28, 128, 128, 128}},
         {{100, 0, 0, 0}, {100, 0, 0, 0}, {100, 0, 0, 0}}},
        {"single frame untouched", {{0, 0, 0, 0}}, {{-128, -128, -128, -128}}},
    };
    for (const Case& c : cases) EXPECT_EQ(load_rotations(c.bytes), c.expect) << c.what;
}

TEST(FramesLoad, SingleFrame) {
    TempDir dir("single");
    test::write_splats(dir / "only.splat", tagged(4, 3));
    Frames f = load_ok(dir.path());
    EXPECT_EQ(f.t, 1u);
    EXPECT_EQ(f.n, 3u);
    EXPECT_EQ(f.pos.size(), 9u);
    EXPECT_EQ(f.scale_log.size(), 9u);
    EXPECT_EQ(f.rgb.size(), 9u);
    EXPECT_EQ(f.alpha.size(), 3u);
    EXPECT_EQ(f.rot.size(), 12u);
}

TEST(FramesLoad, SizeErrors) {
    TempDir dir("size");
    std::vector<uint8_t> hundred(100, 0);
    test::write_bytes(dir / "a.splat", hundred);
    auto r = Frames::load(dir.path(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), (dir / "a.splat").string() + " size not a multiple of 32");

    // N comes from the first frame; a later frame of 33 bytes holds one whole splat.
    test::write_splats(dir / "a.splat", tagged(1, 2));
    test::write_splats(dir / "b.splat", tagged(2, 2));
    test::write_bytes(dir / "c.splat", std::vector<uint8_t>(33, 0));
    r = Frames::load(dir.path(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), (dir / "c.splat").string() + ": expected 2 splats, got 1");

    test::write_bytes(dir / "c.splat", std::vector<uint8_t>(96, 0));
    r = Frames::load(dir.path(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), (dir / "c.splat").string() + ": expected 2 splats, got 3");

    // An empty first frame would mean zero splats: rejected, naming the file.
    test::write_bytes(dir / "0.splat", {});
    r = Frames::load(dir.path(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), (dir / "0.splat").string() + " holds no splats");
}

TEST(FramesLoad, LaterFrameOfWrongSizeIsRefusedBeforeThePlanesAreSized) {
    // A 1 GiB (sparse) first frame listed 3000 times would size the planes at 3.6 TB; the
    // short frame behind it is found from its size alone, before any of that is allocated.
    TempDir dir("sizes-first");
    const uint64_t n = uint64_t{1} << 25;
    {
        std::ofstream(dir / "big.splat").close();
        fs::resize_file(dir / "big.splat", n * 32);
    }
    test::write_splats(dir / "small.splat", tagged(1));
    std::vector<std::string> files(3000, "big.splat");
    files.push_back("small.splat");
    test::write_manifest(dir.path(), 30.0f, files);
    auto r = Frames::load(dir.path(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(),
              fmt::format("{}: expected {} splats, got 1", (dir / "small.splat").string(), n));
}

TEST(FramesLoad, ManifestNameWithNulIsRefused) {
    TempDir dir("nul");
    test::write_splats(dir / "a.splat", tagged(1));
    test::write_text(dir / "frames.json",
                     R"({"fps": 30, "frames": [{"file": "a.splat", "timestamp": 0},
                                              {"file": "a.splat\u0000.txt", "timestamp": 1}]})");
    auto r = Frames::load(dir.path(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(),
              (dir / "frames.json").string() + ": frame 1 names a file containing a NUL character");
}

TEST(FramesLoad, NoFrames) {
    TempDir dir("none");
    test::write_text(dir / "notes.txt", "hello");
    auto r = Frames::load(dir.path(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "no .splat frames found in " + dir.path().string());
}

// Needs the manifest parser.
TEST(FramesLoad, ManifestWithoutFramesHasNoFrames) {
    TempDir dir("none-manifest");
    test::write_splats(dir / "a.splat", tagged(1));
    test::write_manifest(dir.path(), 30.0f, {});
    auto r = Frames::load(dir.path(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "no .splat frames found in " + dir.path().string());
}

// Needs the manifest parser.
TEST(FramesLoad, ManifestErrorsPassThroughWithoutContext) {
    TempDir dir("bad-manifest");
    test::write_splats(dir / "a.splat", tagged(1));
    test::write_text(dir / "frames.json", R"({"frames": [{"file": "a.splat", "timestamp": 0}]})");
    auto r = Frames::load(dir.path(), 30.0f);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().messages.size(), 1u);
    EXPECT_NE(r.error().message().find("missing field `fps`"), std::string::npos) << r.error().message();
}

TEST(FramesLoad, UnreadableManifestIsAReadError) {
    TempDir dir("manifest-dir");
    test::write_splats(dir / "a.splat", tagged(1));
    fs::create_directory(dir / "frames.json");
    auto r = Frames::load(dir.path(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "Is a directory");
}

TEST(FramesLoad, MissingDirectoryIsAListingErrorNamingTheDirectory) {
    TempDir dir("gone");
    auto r = Frames::load(dir / "missing", std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(),
              (dir / "missing").string() + "\n\nCaused by:\n    No such file or directory");
}

TEST(FramesLoad, UnreadableFrameNamesItsPath) {
    struct Case {
        const char* what;
        const char* bad_name;
        bool dangling_link;
        const char* cause;
    };
    const Case cases[] = {
        {"later frame is a directory", "b.splat", false, "Is a directory"},
        {"first frame is a directory", "0.splat", false, "Is a directory"},
        {"later frame is a dangling link", "b.splat", true, "No such file or directory"},
    };
    for (const Case& c : cases) {
        TempDir dir("unreadable");
        test::write_splats(dir / "a.splat", tagged(1));
        test::write_splats(dir / "c.splat", tagged(3));
        if (c.dangling_link)
            fs::create_symlink(dir / "nowhere", dir / c.bad_name);
        else
            fs::create_directory(dir / c.bad_name);
        auto r = Frames::load(dir.path(), std::nullopt);
        ASSERT_FALSE(r) << c.what;
        ASSERT_EQ(r.error().messages.size(), 2u) << c.what << ": " << r.error().render();
        EXPECT_EQ(r.error().message(), (dir / c.bad_name).string()) << c.what;
        EXPECT_EQ(r.error().root_cause(), c.cause) << c.what;
    }
}

TEST(FramesLoad, OnlyRegularFilesAreRead) {
    // A FIFO without a writer would block the read, /dev/zero would never end: both are
    // refused at once, naming the entry.
    for (const char* kind : {"fifo", "device"}) {
        TempDir dir("special");
        test::write_splats(dir / "a.splat", tagged(1));
        if (std::string(kind) == "fifo")
            ASSERT_EQ(::mkfifo((dir / "b.splat").c_str(), 0600), 0);
        else
            fs::create_symlink("/dev/zero", dir / "b.splat");
        auto r = Frames::load(dir.path(), std::nullopt);
        ASSERT_FALSE(r) << kind;
        EXPECT_EQ(r.error().render(), (dir / "b.splat").string() + "\n\nCaused by:\n    not a regular file")
            << kind;

        // The same entry as the manifest.
        fs::rename(dir / "b.splat", dir / "frames.json");
        r = Frames::load(dir.path(), std::nullopt);
        ASSERT_FALSE(r) << kind;
        EXPECT_EQ(r.error().render(), "not a regular file") << kind;
    }
}

TEST(FramesLoad, DeterministicAcrossRunsAndThreadCounts) {
    TempDir dir("determinism");
    test::SynthParams p;
    p.t = 9;
    p.n = 257;
    p.jitter = 0.0002f;
    p.colour_flicker = 3;
    p.nonfinite_fraction = 0.05;
    p.flip_fraction = 0.3;
    p.align = false;
    const Frames raw = test::make_frames(p);
    test::write_frames(dir.path(), raw);

    auto load_with = [&](int threads) { return with_threads(threads, [&] { return load_ok(dir.path()); }); };
    const Frames one = load_with(1);
    const Frames two = load_with(2);
    const Frames again = load_ok(dir.path());
    EXPECT_TRUE(test::frames_identical(one, two));
    EXPECT_TRUE(test::frames_identical(one, again));

    // The loaded planes are the written ones with the hemispheres aligned.
    p.align = true;
    const Frames aligned = test::make_frames(p);
    EXPECT_EQ(one.rot, aligned.rot);
    EXPECT_EQ(one.rgb, aligned.rgb);
    EXPECT_EQ(one.alpha, aligned.alpha);
    ASSERT_EQ(one.pos.size(), aligned.pos.size());
    EXPECT_EQ(std::memcmp(one.pos.data(), aligned.pos.data(), one.pos.size() * sizeof(float)), 0);
}

}  // namespace
}  // namespace quorvex
