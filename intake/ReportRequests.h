#pragma once
// The realization reports as they are written into a vdb: one PROCESSED_BARRIER object per
// vertical and one RUNTIME_STATUS object per component, each identified by its number in the low
// half of the identifier, so a later report replaces the earlier one. Shared by the database
// client's own report calls and realization tracking.
#include <cstdint>
#include <string>

#include "intake/CfgTypes.h"

namespace orvane::ozy::cairndb {
class ModifyRequestMsg;
class UuidMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

// The identifier of the report object of a vertical or component.
orvane::ozy::cairndb::UuidMsg ReportObjectId(uint32_t number);
// A put of a report body (`type` PROCESSED_BARRIER or RUNTIME_STATUS) into `vdb`.
orvane::ozy::cairndb::ModifyRequestMsg PutReportRequest(uint16_t vdb, ObjectType type,
                                                        const std::string& body);

}  // namespace CfgAgent
