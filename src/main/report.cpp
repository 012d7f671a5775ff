#include "main/report.hpp"

#include "support/bytes.hpp"
#include "support/json.hpp"

namespace quorvex {

std::vector<uint8_t> permutation_bytes(const FrontEnd& fe) {
    std::vector<uint8_t> out(fe.perm.size() * 4);
    for (size_t j = 0; j < fe.perm.size(); ++j) store_u32(out.data() + 4 * j, fe.perm[j]);
    return out;
}

Result<std::string> report_json(const ReportInputs& in) {
    // Every object is written with its keys in ascending byte-wise order.
    JsonOut o(JsonStyle::pretty);
    const Encoded& e = in.encoded;
    o.begin_object();
    o.key("bounds");
    write_json(o, in.bounds, KeyOrder::ascending);
    o.key("denoise");
    if (in.denoise) {
        o.begin_object().key("mean_dev").f64(in.denoise->mean_dev).key("p99_dev").f64(in.denoise->p99_dev);
        o.end_object();
    } else {
        o.null();
    }
    o.key("gop").u64(in.cmd.gop);
    o.key("input").begin_object();
    o.key("bytes").u64(e.input_bytes).key("frames").u64(e.header.t).key("splats").u64(e.header.n);
    o.end_object();
    const double entropy_sum = entropy_total(e.streams);
    o.key("output").begin_object();
    o.key("bytes").u64(e.output_bytes).key("entropy_min_bytes").f64(entropy_sum);
    o.key("ratio").f64(static_cast<double>(e.input_bytes) / static_cast<double>(e.output_bytes));
    o.end_object();
    const auto& f = e.static_frac;  // pos, rot, rgb, alpha, scale
    o.key("static_fracs").begin_object();
    o.key("alpha").f64(f[3]).key("pos").f64(f[0]).key("rgb").f64(f[2]).key("rot").f64(f[1]).key("scale").f64(f[4]);
    o.end_object();
    o.key("streams").begin_array();
    for (const auto& [name, row] : in.table) {
        o.begin_object();
        o.key("entropy").f64(row.entropy).key("name").string(name).key("raw").u64(row.raw).key("zstd").u64(row.packed);
        o.end_object();
    }
    o.end_array();
    o.key("times_s").begin_object();
    o.key("encode").f64(in.times.encode).key("parse").f64(in.times.parse);
    o.key("total").f64(seconds_since(in.start)).key("write").f64(in.times.write);
    o.end_object();
    o.key("verify");
    if (in.verify) {
        const VerifyValues& v = *in.verify;
        o.begin_object();
        o.key("alpha_levels").i64(v.alpha_levels).key("ok").boolean(v.ok).key("pos_mm").f64(v.pos_mm);
        o.key("rgb_levels").i64(v.rgb_levels).key("rot_units").i64(v.rot_units).key("scale_pct").f64(v.scale_pct);
        o.end_object();
    } else {
        o.null();
    }
    o.key("zstd_level").i64(in.cmd.zstd_level);
    o.end_object();
    return o.finish();
}

}  // namespace quorvex
