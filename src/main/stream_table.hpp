#pragma once
// The encode command's stream table: one row per attribute and stream kind summed over all
// GOPs (dyn.pos.key, dyn.pos.delta, ...) plus one row per static stream (static.mask_pos, ...).

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "encode/encode.hpp"

namespace quorvex {

struct TableRow {
    uint64_t raw = 0;
    uint64_t packed = 0;
    double entropy = 0.0;
};

// Row key of a stream name: "g3.pos.key" → "dyn.pos.key" (missing pieces as "?"), any other
// name → "static.{name}".
std::string table_key(const std::string& name);

// Sum of the entropy estimates of every stream, in stream order (not over the table's rows).
double entropy_total(const std::vector<StreamInfo>& streams);

// Rows in ascending byte-wise key order.
std::map<std::string, TableRow> stream_table(const std::vector<StreamInfo>& streams);

}  // namespace quorvex
