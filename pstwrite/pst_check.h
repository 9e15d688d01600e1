#pragma once
// A health check of a PST file that changes nothing: header magic and CRCs, page and block
// trailers, B-tree key order, allocation maps against what is in use, references from
// nodes to blocks, node parents, the nodes every store has, and each folder's tables
// against the folders and messages that name it as their parent. It is how the writer's
// output is proved, and what `kestrel-cli check` prints.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "storage/pst_layout.h"

namespace kestrel::pstwrite {

// One kind of finding: how many, and the first few with their places.
struct CheckKind {
    uint64_t count = 0;
    std::vector<std::string> first;
};

struct CheckReport {
    std::string openFailure;  // the system's reason when the file did not open
    PstVariant variant = PstVariant::Unknown;
    std::map<std::string, CheckKind> problems;  // by kind
    std::map<std::string, CheckKind> notes;     // what is there but does no harm
    bool healthy() const { return openFailure.empty() && problems.empty(); }
};

CheckReport CheckPstFile(const std::string& path);

}  // namespace kestrel::pstwrite
