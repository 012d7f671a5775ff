#include "encode/encode.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "encode/catalogue.hpp"
#include "encode/container.hpp"
#include "encode/hold.hpp"
#include "model/attribute.hpp"
#include "model/splat.hpp"
#include "support/big_alloc.hpp"
#include "support/bytes.hpp"

namespace quorvex {

namespace {

// Packs `count` streams in parallel with pack_one(i) → Result<PackedStream>, which builds or
// slices its values just before packing them, so at most one stream's planes per worker are
// alive at a time. Results keep index order; the first error stored wins and stops workers
// from starting further streams.
template <class PackOne>
Result<std::vector<PackedStream>> pack_each(size_t count, const PackOne& pack_one) {
    std::vector<PackedStream> out(count);
    std::atomic<bool> stop{false};
    std::mutex slot_mutex;
    std::optional<Error> slot;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, count, 1), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t i = r.begin(); i < r.end(); ++i) {
            if (stop.load(std::memory_order_relaxed)) return;
            Result<PackedStream> packed = pack_one(i);
            if (!packed) {
                {
                    std::unique_lock lock(slot_mutex, std::try_to_lock);
                    if (lock.owns_lock() && !slot) slot = std::move(packed).error();
                }
                stop.store(true, std::memory_order_relaxed);
                return;
            }
            out[i] = std::move(*packed);
        }
    });
    if (slot) return std::move(*slot);
    if (stop.load()) return Error::msg("stream packing failed");
    return out;
}

// Frames f0 … f1 (inclusive) of GOP g: every GOP holds `gop` frames but the last, which holds
// the remainder.
struct GopFrames {
    uint64_t f0;
    uint64_t f1;
};
GopFrames gop_range(uint64_t g, uint64_t gop, uint64_t t) {
    const uint64_t f0 = g * gop;
    return {f0, std::min(t - 1, f0 + gop - 1)};
}

struct JobSpec {
    uint64_t gop;
    uint8_t attr;
    uint8_t kind;
};

// Runs the hold of one dynamic attribute over the frames f0..f1 of a GOP, handing every run's
// rows to emit (hold_f_rows). carry holds the held indices of frame f0 − 1 (for f0 > 0) and is
// left with those of frame f1, so the hold runs on across GOPs.
template <class Emit>
void hold_gop(const Frames& frames, uint8_t attr, std::span<const uint32_t> dyn, const Steps& steps,
              const Bounds& bounds, uint64_t f0, uint64_t f1, int32_t* carry, const Emit& emit) {
    const uint64_t n = frames.n;
    const uint64_t end = f1 + 1;
    switch (attr) {
        case kAttrPos:
            hold_f_rows(frames.pos, n, dyn, steps.pos, bounds.pos_m, f0, end, carry, emit);
            break;
        case kAttrScale:
            hold_f_rows(frames.scale_log, n, dyn, steps.scale_log, std::log(1.0 + bounds.scale_rel), f0, end,
                        carry, emit);
            break;
        case kAttrRgb: {
            const uint8_t* rgb = frames.rgb.data();
            hold_i_rows(
                [rgb, n](uint64_t f, uint32_t s, size_t k) { return int32_t{rgb[(f * n + s) * 3 + k]}; }, 3,
                dyn, steps.rgb, bounds.rgb, f0, end, carry, emit);
            break;
        }
        case kAttrAlpha: {
            const uint8_t* alpha = frames.alpha.data();
            hold_i_rows([alpha, n](uint64_t f, uint32_t s, size_t) { return int32_t{alpha[f * n + s]}; }, 1,
                        dyn, steps.alpha, bounds.alpha, f0, end, carry, emit);
            break;
        }
        default: {
            const int16_t* rot = frames.rot.data();
            hold_i_rows(
                [rot, n](uint64_t f, uint32_t s, size_t k) { return int32_t{rot[(f * n + s) * 4 + k]}; }, 4,
                dyn, steps.rot, bounds.rot, f0, end, carry, emit);
            break;
        }
    }
}

// Writes a GOP's streams of one attribute as a table of f1 − f0 + 1 rows of D × m values: row 0
// holds the key values (zigzagged held indices of frame f0) and row r the delta values of frame
// f0 + r (stream_row), so the key stream is row 0 and the delta stream rows 1 … f1 − f0.
struct TableRows {
    uint32_t* rows;
    size_t d;
    size_t m;
    uint64_t f0;
    void operator()(uint64_t f, size_t j0, size_t j1, const int32_t* cur, const int32_t* prev) const {
        stream_row(f == f0, cur, prev, (j1 - j0) * m, rows + (static_cast<size_t>(f - f0) * d + j0) * m);
    }
};

// Writes a GOP's key values (D × m) to key and its delta values, on the assumption that they all
// fit in a byte, as width-1 byte planes to delta; wide collects the bits of every delta value,
// so that the assumption can be checked afterwards.
struct ByteRows {
    uint32_t* key;
    uint8_t* delta;
    size_t d;
    size_t m;
    uint64_t f0;
    std::atomic<uint32_t>* wide;
    void operator()(uint64_t f, size_t j0, size_t j1, const int32_t* cur, const int32_t* prev) const {
        const size_t count = (j1 - j0) * m;
        if (f == f0) {
            stream_row(true, cur, prev, count, key + j0 * m);
            return;
        }
        const uint32_t bits =
            delta_row_bytes(cur, prev, count, delta + (static_cast<size_t>(f - f0 - 1) * d + j0) * m);
        if (bits > 0xFFu) wide->fetch_or(bits, std::memory_order_relaxed);
    }
};

uint64_t count_zero(const std::vector<uint8_t>& mask) {
    return static_cast<uint64_t>(std::count(mask.begin(), mask.end(), uint8_t{0}));
}

double static_fraction(const std::vector<uint8_t>& mask, uint64_t n) {
    uint64_t ones = 0;
    for (uint8_t m : mask) ones += m;
    return static_cast<double>(ones) / static_cast<double>(n);
}

uint8_t* store_bytes(uint8_t* out, std::span<const uint8_t> bytes) {
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    return out + bytes.size();
}

}  // namespace

Result<Encoded> encode(Frames& frames, const Bounds& bounds, uint64_t gop, int32_t zstd_level,
                       bool denoised) {
    if (gop == 0) return Error::msg("gop must be at least 1");

    const Steps steps = steps_from(bounds);
    FrontEnd fe = front_end(frames, bounds);
    const std::array<const std::vector<uint8_t>*, kAttrCount> masks = {
        &fe.mask_pos, &fe.mask_rot, &fe.mask_rgb, &fe.mask_alpha, &fe.mask_scale};
    std::array<std::vector<uint32_t>, kAttrCount> dyn;
    tbb::parallel_for(size_t{0}, kAttrCount, [&](size_t a) { dyn[a] = dyn_indices(*masks[a]); });

    // Static section.
    std::vector<NamedStream> statics = static_streams(fe);
    // Every stream borrows its zstd context from one pool, so contexts are set up once per encode.
    ZstdPool contexts;
    QX_TRY(static_packed, pack_each(statics.size(), [&](size_t i) {
               RawStream& r = statics[i].stream;
               return pack_in_place(r.values, r.attr, r.kind, zstd_level, &contexts);
           }));

    // GOP jobs: per GOP, attributes in code order, key then delta.
    const uint64_t t = frames.t;
    const uint64_t gops = (t + gop - 1) / gop;
    std::vector<JobSpec> specs;
    // The job of GOP g's key of attribute a is key_job[g × kAttrCount + a]; its delta, when the
    // GOP has one, is the job after it.
    std::vector<size_t> key_job(gops * kAttrCount);
    for (uint64_t g = 0; g < gops; ++g) {
        const auto [f0, f1] = gop_range(g, gop, t);
        for (uint8_t a = 0; a < kAttrCount; ++a) {
            if (dyn[a].empty()) continue;
            key_job[g * kAttrCount + a] = specs.size();
            specs.push_back({g, a, kKindKey});
            if (f1 > f0) specs.push_back({g, a, kKindDelta});
        }
    }

    // One attribute and one GOP at a time. The hold writes the GOP's key values and, as a byte
    // each, its delta values: deltas are differences of held indices from frame to frame, and
    // almost always fit in one byte, so these bytes are already the delta stream's planes.
    // Should some delta value not fit, the GOP is held again from the same state into a table of
    // full values, which is packed in place like any stream. Two sets of buffers take turns, so
    // the hold of the next step runs while the current step is packed (zstd's own threads leave
    // pool workers idle); each is sized for the largest step, so its pages are cleared by the
    // kernel once. The hold's state crosses from GOP to GOP in carry.
    std::vector<PackedStream> job_packed(specs.size());
    const uint64_t gop_frames = std::min(gop, t);
    size_t row_len = 0;
    for (uint8_t a = 0; a < kAttrCount; ++a) row_len = std::max(row_len, dyn[a].size() * kAttrComponents[a]);
    struct Slot {
        std::unique_ptr<uint32_t[]> key;    // one row
        std::unique_ptr<uint8_t[]> delta;   // gop_frames − 1 rows of bytes
        std::unique_ptr<uint32_t[]> table;  // gop_frames rows, only when a GOP's deltas are wide
        bool wide = false;
    };
    std::array<Slot, 2> slots;
    for (Slot& slot : slots) {
        slot.key = alloc_uninit<uint32_t>(row_len);
        slot.delta = alloc_uninit<uint8_t>((gop_frames - 1) * row_len);
    }
    std::unique_ptr<int32_t[]> carry = alloc_uninit<int32_t>(row_len);
    std::unique_ptr<int32_t[]> carry_before = alloc_uninit<int32_t>(row_len);

    std::optional<Error> pack_error;
    auto pack_step = [&](uint8_t a, uint64_t g, Slot& slot) {
        const size_t row = dyn[a].size() * kAttrComponents[a];
        const auto [f0, f1] = gop_range(g, gop, t);
        // This GOP's jobs of the attribute: its key, then its delta when it has one.
        const size_t first = key_job[g * kAttrCount + a];
        const size_t count = f1 > f0 ? 2 : 1;
        auto pack_job = [&](size_t i) -> Result<PackedStream> {
            const JobSpec& s = specs[first + i];
            const size_t rows = s.kind == kKindKey ? 1 : f1 - f0;
            if (slot.wide) {
                const size_t first_row = s.kind == kKindKey ? 0 : 1;
                return pack_in_place(std::span<uint32_t>(slot.table.get() + first_row * row, rows * row),
                                     s.attr, s.kind, zstd_level, &contexts);
            }
            if (s.kind == kKindKey)
                return pack_in_place(std::span<uint32_t>(slot.key.get(), row), s.attr, s.kind, zstd_level,
                                     &contexts);
            return pack_planes(std::span<const uint8_t>(slot.delta.get(), rows * row), 1, rows * row, s.attr,
                               s.kind, zstd_level, &contexts);
        };
        Result<std::vector<PackedStream>> packed = pack_each(count, pack_job);
        if (!packed) {
            pack_error = std::move(packed).error();
            return;
        }
        for (size_t i = 0; i < count; ++i) job_packed[first + i] = std::move((*packed)[i]);
    };
    tbb::task_group packing;
    size_t step = 0;
    bool failed = false;  // read only after waiting for the packing, never while it runs
    for (uint8_t a = 0; a < kAttrCount && !failed; ++a) {
        if (dyn[a].empty()) continue;
        const size_t d = dyn[a].size();
        const size_t m = kAttrComponents[a];
        for (uint64_t g = 0; g < gops; ++g) {
            Slot& slot = slots[step++ % 2];
            const auto [f0, f1] = gop_range(g, gop, t);
            // This slot's previous step (two steps back) was packed before the last step started.
            if (f0 > 0) std::copy_n(carry.get(), d * m, carry_before.get());
            std::atomic<uint32_t> wide{0};
            hold_gop(frames, a, dyn[a], steps, bounds, f0, f1, carry.get(),
                     ByteRows{slot.key.get(), slot.delta.get(), d, m, f0, &wide});
            slot.wide = wide.load() > 0xFFu;
            if (slot.wide) {
                if (f0 > 0) std::copy_n(carry_before.get(), d * m, carry.get());
                if (!slot.table) slot.table = alloc_uninit<uint32_t>(gop_frames * row_len);
                hold_gop(frames, a, dyn[a], steps, bounds, f0, f1, carry.get(),
                         TableRows{slot.table.get(), d, m, f0});
            }
            // The previous step's packing is done before this one starts, so the slot the next hold
            // writes is free again; a failed step ends the encode.
            packing.wait();
            failed = pack_error.has_value();
            if (failed) break;
            packing.run([&pack_step, &slot, a, g] { pack_step(a, g, slot); });
        }
    }
    packing.wait();
    if (pack_error) return std::move(*pack_error);
    slots = {};
    carry.reset();
    carry_before.reset();
    for (auto& d : dyn) std::vector<uint32_t>().swap(d);

    // Section lengths. A GOP section lists its keys first, then its deltas, each in attribute
    // order: a stable sort by kind of the job order.
    uint64_t static_len = 0;
    for (const PackedStream& p : static_packed) static_len += kStreamRecordBytes + p.bytes.size();
    std::vector<std::vector<size_t>> section_jobs(gops);
    std::vector<uint64_t> section_len(gops, kGopCountBytes);
    for (size_t i = 0; i < specs.size(); ++i) {
        section_jobs[specs[i].gop].push_back(i);
        section_len[specs[i].gop] += kStreamRecordBytes + job_packed[i].bytes.size();
    }
    for (auto& jobs : section_jobs)
        std::stable_sort(jobs.begin(), jobs.end(),
                         [&](size_t x, size_t y) { return specs[x].kind < specs[y].kind; });

    // Header, with its own length found by iterating to a fixed point.
    Header h;
    h.n = frames.n;
    h.t = frames.t;
    h.fps = frames.fps;
    h.gop = gop;
    h.bounds = bounds;
    h.steps = steps;
    h.dyn = DynCounts{count_zero(fe.mask_pos), count_zero(fe.mask_rot), count_zero(fe.mask_rgb),
                      count_zero(fe.mask_alpha), count_zero(fe.mask_scale)};
    h.groups = fe.groups;
    h.aabb = fe.aabb;
    h.denoised = denoised;
    auto fill_offsets = [&](uint64_t header_len) {
        uint64_t off = kPreambleBytes + header_len;
        h.static_section = Span{off, static_len};
        off += static_len;
        h.gops.assign(gops, GopSpan{});
        for (uint64_t g = 0; g < gops; ++g) {
            GopSpan& s = h.gops[g];
            s.offset = off;
            s.len = section_len[g];
            const auto [f0, f1] = gop_range(g, gop, t);
            s.f0 = f0;
            s.f1 = f1;
            s.t0 = static_cast<float>(s.f0) / h.fps;
            s.t1 = static_cast<float>(s.f1) / h.fps;
            off += s.len;
        }
    };
    fill_offsets(0);
    QX_TRY(first_text, header_to_json(h));
    std::string text = std::move(first_text);
    bool settled = false;
    for (int round = 0; round < 16; ++round) {
        const uint64_t len = text.size();
        fill_offsets(len);
        QX_TRY(next, header_to_json(h));
        text = std::move(next);
        if (text.size() == len) {
            settled = true;
            break;
        }
    }
    if (!settled) return Error::msg("container header length does not settle");
    if (text.size() > UINT32_MAX) return Error::msg("container header too large");

    // Container: allocated once at its final size, every payload copied straight into place.
    uint64_t total = kPreambleBytes + text.size() + static_len;
    for (uint64_t len : section_len) total += len;
    Encoded e;
    assign_zeroed(e.bytes, static_cast<size_t>(total));
    uint8_t* out = e.bytes.data();
    out = store_bytes(out, kMagic);
    store_u32(out, uint32_t{kFormatVersion} | uint32_t{denoised ? 1u : 0u} << 16);
    store_u32(out + 4, static_cast<uint32_t>(text.size()));
    out += 8;
    out = store_bytes(out, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    for (const PackedStream& p : static_packed) out = store_bytes(store_record_header(out, p), p.bytes);
    for (uint64_t g = 0; g < gops; ++g) {
        const std::vector<size_t>& jobs = section_jobs[g];
        out[0] = static_cast<uint8_t>(jobs.size());
        out[1] = static_cast<uint8_t>(jobs.size() >> 8);
        out += kGopCountBytes;
        for (size_t j : jobs) out = store_record_header(out, job_packed[j]);
        for (size_t j : jobs) out = store_bytes(out, job_packed[j].bytes);
    }

    // Statistics: static streams in catalogue order, then jobs in job order.
    e.streams.reserve(static_packed.size() + specs.size());
    for (size_t i = 0; i < static_packed.size(); ++i) {
        const PackedStream& p = static_packed[i];
        e.streams.push_back({statics[i].name, p.raw_len, p.bytes.size() + kStreamRecordBytes, p.entropy});
    }
    for (size_t i = 0; i < specs.size(); ++i) {
        const PackedStream& p = job_packed[i];
        std::string name = fmt::format("g{}.{}.{}", specs[i].gop, kAttrNames[specs[i].attr],
                                       specs[i].kind == kKindKey ? "key" : "delta");
        e.streams.push_back({std::move(name), p.raw_len, p.bytes.size() + kStreamRecordBytes, p.entropy});
    }
    e.input_bytes = frames.t * frames.n * kSplatBytes;
    e.output_bytes = e.bytes.size();
    e.static_frac = {static_fraction(fe.mask_pos, frames.n), static_fraction(fe.mask_rot, frames.n),
                     static_fraction(fe.mask_rgb, frames.n), static_fraction(fe.mask_alpha, frames.n),
                     static_fraction(fe.mask_scale, frames.n)};
    e.header = std::move(h);
    e.front = std::move(fe);
    return e;
}

}  // namespace quorvex
