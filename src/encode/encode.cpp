#include "encode/encode.hpp"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>

#include "encode/catalogue.hpp"
#include "encode/container.hpp"
#include "encode/hold.hpp"
#include "model/attribute.hpp"
#include "model/splat.hpp"
#include "support/bytes.hpp"

namespace quorvex {

namespace {

// Packs `count` streams in parallel. Each task builds its stream with build(i) just before
// packing it, so at most one raw stream per worker is alive at a time. Results keep index
// order; the first error stored wins and stops workers from starting further streams.
template <class Build>
Result<std::vector<PackedStream>> pack_each(size_t count, const Build& build, int32_t level) {
    std::vector<PackedStream> out(count);
    std::atomic<bool> stop{false};
    std::mutex slot_mutex;
    std::optional<Error> slot;
    tbb::parallel_for(size_t{0}, count, [&](size_t i) {
        if (stop.load(std::memory_order_relaxed)) return;
        auto packed = pack(build(i), level);
        if (!packed) {
            {
                std::unique_lock lock(slot_mutex, std::try_to_lock);
                if (lock.owns_lock() && !slot) slot = std::move(packed).error();
            }
            stop.store(true, std::memory_order_relaxed);
            return;
        }
        out[i] = std::move(*packed);
    });
    if (slot) return std::move(*slot);
    if (stop.load()) return Error::msg("stream packing failed");
    return out;
}

struct JobSpec {
    uint64_t gop;
    uint8_t attr;
    uint8_t kind;
};

// Held tables in attribute code order pos, rot, rgb, alpha, scale.
struct HeldTables {
    std::array<std::vector<uint32_t>, kAttrCount> dyn;
    std::array<std::vector<int32_t>, kAttrCount> held;
};

HeldTables hold_all(const Frames& frames, const FrontEnd& fe, const Bounds& bounds, const Steps& steps) {
    HeldTables h;
    h.dyn[kAttrPos] = dyn_indices(fe.mask_pos);
    h.dyn[kAttrRot] = dyn_indices(fe.mask_rot);
    h.dyn[kAttrRgb] = dyn_indices(fe.mask_rgb);
    h.dyn[kAttrAlpha] = dyn_indices(fe.mask_alpha);
    h.dyn[kAttrScale] = dyn_indices(fe.mask_scale);

    const uint64_t t = frames.t;
    const uint64_t n = frames.n;
    const double scale_bound = std::log(1.0 + bounds.scale_rel);
    // Hold coding order: pos, scale, rgb, alpha, rot.
    h.held[kAttrPos] = hold_f(frames.pos, t, n, h.dyn[kAttrPos], steps.pos, bounds.pos_m);
    h.held[kAttrScale] = hold_f(frames.scale_log, t, n, h.dyn[kAttrScale], steps.scale_log, scale_bound);
    const uint8_t* rgb = frames.rgb.data();
    h.held[kAttrRgb] = hold_i(
        [rgb, n](uint64_t f, uint32_t s, size_t k) { return int32_t{rgb[(f * n + s) * 3 + k]}; }, t, 3,
        h.dyn[kAttrRgb], steps.rgb, bounds.rgb);
    const uint8_t* alpha = frames.alpha.data();
    h.held[kAttrAlpha] = hold_i(
        [alpha, n](uint64_t f, uint32_t s, size_t) { return int32_t{alpha[f * n + s]}; }, t, 1,
        h.dyn[kAttrAlpha], steps.alpha, bounds.alpha);
    const int16_t* rot = frames.rot.data();
    h.held[kAttrRot] = hold_i(
        [rot, n](uint64_t f, uint32_t s, size_t k) { return int32_t{rot[(f * n + s) * 4 + k]}; }, t, 4,
        h.dyn[kAttrRot], steps.rot, bounds.rot);
    return h;
}

uint64_t count_zero(const std::vector<uint8_t>& mask) {
    return static_cast<uint64_t>(std::count(mask.begin(), mask.end(), uint8_t{0}));
}

double static_fraction(const std::vector<uint8_t>& mask, uint64_t n) {
    uint64_t ones = 0;
    for (uint8_t m : mask) ones += m;
    return static_cast<double>(ones) / static_cast<double>(n);
}

}  // namespace

Result<std::vector<PackedStream>> pack_all(std::vector<RawStream> raws, int32_t level) {
    return pack_each(raws.size(), [&](size_t i) { return std::move(raws[i]); }, level);
}

Result<Encoded> encode(Frames& frames, const Bounds& bounds, uint64_t gop, int32_t zstd_level,
                       bool denoised) {
    if (gop == 0) return Error::msg("gop must be at least 1");

    const Steps steps = steps_from(bounds);
    FrontEnd fe = front_end(frames, bounds);
    HeldTables ht = hold_all(frames, fe, bounds, steps);

    // Static section.
    std::vector<NamedStream> statics = static_streams(fe);
    QX_TRY(static_packed,
           pack_each(statics.size(), [&](size_t i) { return std::move(statics[i].stream); }, zstd_level));

    // GOP jobs: per GOP, attributes in code order, key then delta. Values are cut from the
    // held tables inside the packing tasks.
    const uint64_t t = frames.t;
    const uint64_t gops = (t + gop - 1) / gop;
    std::vector<JobSpec> specs;
    for (uint64_t g = 0; g < gops; ++g) {
        const uint64_t f0 = g * gop;
        const uint64_t f1 = std::min(t - 1, f0 + gop - 1);
        for (uint8_t a = 0; a < kAttrCount; ++a) {
            if (ht.dyn[a].empty()) continue;
            specs.push_back({g, a, kKindKey});
            if (f1 > f0) specs.push_back({g, a, kKindDelta});
        }
    }
    auto build_job = [&](size_t i) {
        const JobSpec& s = specs[i];
        const uint64_t f0 = s.gop * gop;
        const uint64_t f1 = s.kind == kKindKey ? f0 : std::min(t - 1, f0 + gop - 1);
        GopValues v = gop_values(ht.held[s.attr], ht.dyn[s.attr].size(), kAttrComponents[s.attr], f0, f1);
        RawStream raw;
        raw.values = s.kind == kKindKey ? std::move(v.key) : std::move(v.delta);
        raw.attr = s.attr;
        raw.kind = s.kind;
        return raw;
    };
    QX_TRY(job_packed, pack_each(specs.size(), build_job, zstd_level));
    ht = HeldTables{};

    // Static section bytes.
    std::vector<uint8_t> static_bytes;
    for (const PackedStream& p : static_packed) {
        put_record_header(static_bytes, p);
        static_bytes.insert(static_bytes.end(), p.bytes.begin(), p.bytes.end());
    }

    // GOP sections: keys first, then deltas, each in attribute order (a stable sort by kind of
    // the job order).
    std::vector<std::vector<uint8_t>> sections(gops);
    {
        size_t i = 0;
        for (uint64_t g = 0; g < gops; ++g) {
            size_t begin = i;
            while (i < specs.size() && specs[i].gop == g) ++i;
            std::vector<size_t> order;
            for (size_t j = begin; j < i; ++j) order.push_back(j);
            std::stable_sort(order.begin(), order.end(),
                             [&](size_t a, size_t b) { return specs[a].kind < specs[b].kind; });
            std::vector<uint8_t>& sec = sections[g];
            put_u16(sec, static_cast<uint16_t>(order.size()));
            for (size_t j : order) put_record_header(sec, job_packed[j]);
            for (size_t j : order) sec.insert(sec.end(), job_packed[j].bytes.begin(), job_packed[j].bytes.end());
        }
    }

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
        h.static_section = Span{off, static_bytes.size()};
        off += static_bytes.size();
        h.gops.assign(gops, GopSpan{});
        for (uint64_t g = 0; g < gops; ++g) {
            GopSpan& s = h.gops[g];
            s.offset = off;
            s.len = sections[g].size();
            s.f0 = g * gop;
            s.f1 = std::min(t - 1, s.f0 + gop - 1);
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

    // Container.
    uint64_t total = kPreambleBytes + text.size() + static_bytes.size();
    for (const auto& s : sections) total += s.size();
    Encoded e;
    e.bytes.reserve(total);
    e.bytes.insert(e.bytes.end(), kMagic.begin(), kMagic.end());
    put_u16(e.bytes, kFormatVersion);
    put_u16(e.bytes, denoised ? 1 : 0);
    put_u32(e.bytes, static_cast<uint32_t>(text.size()));
    e.bytes.insert(e.bytes.end(), text.begin(), text.end());
    e.bytes.insert(e.bytes.end(), static_bytes.begin(), static_bytes.end());
    for (const auto& s : sections) e.bytes.insert(e.bytes.end(), s.begin(), s.end());

    // Statistics: static streams in catalogue order, then jobs in job order.
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
