#pragma once
// Decoded records as text, so that a test states a whole list in one comparison: each record as
// "OP PROPERTY" (the operation without its "OPERATION_" prefix), records separated by ", ".
#include <string>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "intake/CfgTypes.h"

namespace CfgAgent::test {

inline std::string RecordText(const CairnDBUpdateMsg& r) {
    std::string op = OperationToString(r.op);
    return (op.rfind("OPERATION_", 0) == 0 ? op.substr(10) : op) + " " +
           PropertyTypeToString(r.property);
}

inline std::string Summary(const CairnDBUpdateList& records) {
    std::string out;
    for (const CairnDBUpdateMsg& r : records)
        out += (out.empty() ? "" : ", ") + RecordText(r);
    return out;
}

// The data of each record, in order.
inline std::vector<std::string> Data(const CairnDBUpdateList& records) {
    std::vector<std::string> out;
    for (const CairnDBUpdateMsg& r : records)
        out.push_back(r.data);
    return out;
}

}  // namespace CfgAgent::test
