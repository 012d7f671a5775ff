// Loading a frame directory into Frames: frame list, splat count, parallel decode of the
// 32-byte records, and hemisphere alignment of the rotation quaternions.

#include <sys/stat.h>
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "model/frames.hpp"
#include "model/manifest.hpp"
#include "model/splat.hpp"
#include "support/bytes.hpp"
#include "support/file_io.hpp"
#include "support/parallel.hpp"

namespace quorvex {

namespace fs = std::filesystem;

namespace {

constexpr float kDefaultFps = 30.0f;

struct FrameList {
    std::vector<fs::path> paths;
    float fps = kDefaultFps;
};

// A frame file's extension is exactly "splat": the text after the last '.', where that '.'
// is not the name's first character (".splat" is a hidden file, not a frame).
bool has_splat_extension(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    return name.substr(dot + 1) == "splat";
}

Result<FrameList> frames_from_manifest(const fs::path& dir, const fs::path& manifest_path) {
    QX_TRY(text, read_text(manifest_path, ReadFrom::regular_files));
    QX_TRY(manifest, parse_manifest(text));
    FrameList list;
    list.fps = manifest.fps;
    list.paths.reserve(manifest.frames.size());
    // Joining with an absolute name yields that name, so absolute entries stand as written.
    for (size_t k = 0; k < manifest.frames.size(); ++k) {
        const std::string& file = manifest.frames[k].file;
        // The operating system reads a name only up to its first NUL, so "a.splat\u0000x"
        // would silently load a.splat.
        if (file.find('\0') != std::string::npos)
            return Error::make("{}: frame {} names a file containing a NUL character", manifest_path.string(),
                               k);
        list.paths.push_back(dir / file);
    }
    return list;
}

Result<FrameList> frames_from_listing(const fs::path& dir, std::optional<float> fps) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return Error::msg(ec.message()).context(dir.string());
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (has_splat_extension(name)) names.push_back(std::move(name));
    }
    // A failed read of the listing ends it early; carrying on would silently drop frames.
    if (ec) return Error::msg(ec.message()).context(dir.string());
    // All entries share the directory, so path order is the byte order of the names;
    // std::string compares as unsigned bytes, independent of the locale.
    std::sort(names.begin(), names.end());
    FrameList list;
    list.fps = fps.value_or(kDefaultFps);
    list.paths.reserve(names.size());
    for (const std::string& name : names) list.paths.push_back(dir / name);
    return list;
}

// A frame whose length is not that of n splats.
Error wrong_size(const fs::path& path, uint64_t n, uint64_t bytes) {
    return Error::make("{}: expected {} splats, got {}", path.string(), n, bytes / kSplatBytes);
}

// Byte size of the first frame, from its metadata only.
Result<uint64_t> first_frame_size(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Error::msg(os_error_text(errno)).context(path.string());
    // A directory carrying the extension fails as reading it would, naming it.
    if (S_ISDIR(st.st_mode)) return Error::msg(os_error_text(EISDIR)).context(path.string());
    return static_cast<uint64_t>(st.st_size);
}

// Converts one frame's records into frame k's blocks of the planes. When the previous frame's
// records are given, a scale component whose bits equal the previous frame's takes the log
// already computed there: the same input gives the same value, and most splats keep their
// scale from frame to frame.
void decode_frame(const uint8_t* data, const uint8_t* prev, uint64_t n, uint64_t k, Frames& out) {
    float* pos = out.pos.data() + k * n * 3;
    float* scale_log = out.scale_log.data() + k * n * 3;
    const float* prev_log = prev ? scale_log - n * 3 : nullptr;
    uint8_t* rgb = out.rgb.data() + k * n * 3;
    uint8_t* alpha = out.alpha.data() + k * n;
    int16_t* rot = out.rot.data() + k * n * 4;
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* rec = data + i * kSplatBytes;
        // Positions keep their bits, NaN payloads and signed zeros included.
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(pos + i * 3, rec + kSplatPosOffset, 12);
        } else {
            for (size_t j = 0; j < 3; ++j) pos[i * 3 + j] = load_f32(rec + kSplatPosOffset + 4 * j);
        }
        std::memcpy(rgb + i * 3, rec + kSplatRgbOffset, 3);
        alpha[i] = rec[kSplatAlphaOffset];
        for (size_t j = 0; j < 4; ++j)
            rot[i * 4 + j] = static_cast<int16_t>(int{rec[kSplatRotOffset + j]} - 128);
        const uint8_t* scale = rec + kSplatScaleOffset;
        if (prev && std::memcmp(prev + i * kSplatBytes + kSplatScaleOffset, scale, 12) == 0) {
            std::memcpy(scale_log + i * 3, prev_log + i * 3, 12);
            continue;
        }
        for (size_t j = 0; j < 3; ++j) {
            const uint32_t bits = load_u32(scale + 4 * j);
            if (prev && load_u32(prev + i * kSplatBytes + kSplatScaleOffset + 4 * j) == bits) {
                scale_log[i * 3 + j] = prev_log[i * 3 + j];
                continue;
            }
            float s;
            std::memcpy(&s, &bits, 4);
            // Written so that NaN fails the comparison and clamps as well.
            const float clamped = s > kMinScale ? s : kMinScale;
            scale_log[i * 3 + j] = std::log(clamped);
        }
    }
}

// Puts every splat's quaternion in frame k on the side of its already aligned value in
// frame k - 1. q and -q are the same rotation; negation maps -128 to 127 to stay in range.
// A splat depends only on its own earlier frames, so each task takes a run of splats through
// every frame in order.
// Splats per step of the alignment: the step's two frame rows stay in the first-level cache.
constexpr size_t kAlignStep = 1024;

void align_hemispheres(Frames& f) {
    const uint64_t n = f.n;
    const uint64_t t = f.t;
    if (t < 2) return;
    int16_t* rot = f.rot.data();
    tbb::parallel_for(
        tbb::blocked_range<uint64_t>(0, n, kAlignStep), [&](const tbb::blocked_range<uint64_t>& r) {
            // Per step of splats and frame: each component learns whether its splat flips, then
            // every component is rewritten in one flat pass. Neither loop branches on the data.
            int16_t flips[4 * kAlignStep];
            for (uint64_t i0 = r.begin(); i0 < r.end(); i0 += kAlignStep) {
                const size_t len = std::min<uint64_t>(kAlignStep, r.end() - i0);
                for (uint64_t k = 1; k < t; ++k) {
                    const int16_t* prev = rot + ((k - 1) * n + i0) * 4;
                    int16_t* cur = rot + (k * n + i0) * 4;
                    for (size_t i = 0; i < len; ++i) {
                        int32_t d = 0;
                        for (size_t j = 0; j < 4; ++j)
                            d += int32_t{prev[i * 4 + j]} * int32_t{cur[i * 4 + j]};
                        const int16_t flip = d < 0 ? int16_t{-1} : int16_t{0};
                        for (size_t j = 0; j < 4; ++j) flips[i * 4 + j] = flip;
                    }
                    for (size_t e = 0; e < 4 * len; ++e) {
                        const int16_t c = cur[e];
                        const int16_t negated = c == -128 ? int16_t{127} : static_cast<int16_t>(-c);
                        cur[e] = flips[e] != 0 ? negated : c;
                    }
                }
            }
        });
}

// Two file buffers per worker: the frame being decoded and the one before it.
struct FrameBuffers {
    std::vector<uint8_t> cur;
    std::vector<uint8_t> prev;
};

}  // namespace

Result<Frames> Frames::load(const fs::path& dir, std::optional<float> fps) {
    const fs::path manifest_path = dir / "frames.json";
    // Any failure to query the manifest's metadata means there is no manifest.
    struct stat manifest_st {};
    const bool has_manifest = ::stat(manifest_path.c_str(), &manifest_st) == 0;

    Result<FrameList> listed =
        has_manifest ? frames_from_manifest(dir, manifest_path) : frames_from_listing(dir, fps);
    if (!listed) return std::move(listed).error();
    FrameList list = std::move(*std::move(listed));
    if (list.paths.empty()) return Error::make("no .splat frames found in {}", dir.string());

    const fs::path& first = list.paths.front();
    QX_TRY(first_size, first_frame_size(first));
    if (first_size % kSplatBytes != 0) return Error::make("{} size not a multiple of 32", first.string());
    if (first_size == 0) return Error::make("{} holds no splats", first.string());

    const uint64_t t = list.paths.size();
    const uint64_t n = first_size / kSplatBytes;
    // The planes are sized by t × n before any frame is read. A regular file whose metadata
    // already shows it cannot hold n splats is refused now, with the message its read would
    // give; files that cannot be queried fail when read, with the read's own error.
    for (uint64_t k = 1; k < t; ++k) {
        struct stat st {};
        const fs::path& path = list.paths[k];
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) != first_size)
            return wrong_size(path, n, static_cast<uint64_t>(st.st_size));
    }
    // The planes take 36 bytes per splat and frame; the count must fit in memory addresses.
    uint64_t cells = 0;
    uint64_t plane_bytes = 0;
    if (__builtin_mul_overflow(t, n, &cells) || __builtin_mul_overflow(cells, uint64_t{36}, &plane_bytes) ||
        plane_bytes > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max()))
        return Error::make("{} frames of {} splats are too many to hold in memory", t, n);

    Frames out;
    try {
        out = zeroed_frames(t, n);
    } catch (const std::bad_alloc&) {
        return Error::make("{} frames of {} splats are too many to hold in memory", t, n);
    }
    out.fps = list.fps;

    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::optional<Error> first_error;
    uint64_t error_frame = 0;
    // Of the frames that failed, the one earliest in the list is reported.
    auto fail = [&](uint64_t k, Error e) {
        stop.store(true, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!first_error || k < error_frame) {
            first_error = std::move(e);
            error_frame = k;
        }
    };
    // Each task decodes a run of consecutive frames, so every frame but the first of a run can
    // reuse the logs of unchanged scales from the frame before it. Runs are short enough to
    // keep every worker busy.
    const uint64_t run = std::max<uint64_t>(1, t / (4 * pool_threads()));
    tbb::enumerable_thread_specific<FrameBuffers> buffers;
    tbb::parallel_for(tbb::blocked_range<uint64_t>(0, t, run), [&](const tbb::blocked_range<uint64_t>& r) {
        FrameBuffers& buf = buffers.local();
        bool have_prev = false;
        for (uint64_t k = r.begin(); k != r.end(); ++k) {
            if (stop.load(std::memory_order_relaxed)) return;
            const fs::path& path = list.paths[k];
            Result<size_t> len = read_file_into(path, buf.cur);
            if (!len) return fail(k, std::move(len).error().context(path.string()));
            if (*len != n * kSplatBytes) return fail(k, wrong_size(path, n, *len));
            decode_frame(buf.cur.data(), have_prev ? buf.prev.data() : nullptr, n, k, out);
            buf.cur.swap(buf.prev);
            have_prev = true;
        }
    });
    if (first_error) return std::move(*first_error);

    align_hemispheres(out);
    out.files = std::move(list.paths);
    return out;
}

}  // namespace quorvex
