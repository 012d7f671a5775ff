#include "main/stream_table.hpp"

#include <fmt/core.h>

namespace quorvex {

std::string table_key(const std::string& name) {
    if (name.empty() || name[0] != 'g' || name.find('.') == std::string::npos) return "static." + name;
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t dot = name.find('.', start);
        if (dot == std::string::npos) {
            pieces.push_back(name.substr(start));
            break;
        }
        pieces.push_back(name.substr(start, dot - start));
        start = dot + 1;
    }
    return fmt::format("dyn.{}.{}", pieces.size() > 1 ? pieces[1] : "?", pieces.size() > 2 ? pieces[2] : "?");
}

double entropy_total(const std::vector<StreamInfo>& streams) {
    double total = 0.0;
    for (const StreamInfo& s : streams) total += s.entropy_min;
    return total;
}

std::map<std::string, TableRow> stream_table(const std::vector<StreamInfo>& streams) {
    std::map<std::string, TableRow> rows;  // std::string compares byte-wise
    for (const StreamInfo& s : streams) {
        TableRow& r = rows[table_key(s.name)];
        r.raw += s.raw;
        r.packed += s.packed;
        r.entropy += s.entropy_min;
    }
    return rows;
}

}  // namespace quorvex
