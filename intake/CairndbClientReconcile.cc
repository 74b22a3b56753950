// A large full-sync write of the configuration runtime state, written as its differences from the
// stored rows (see RuntimeReconcile.h). The writer is the only one that submits lists, so once the
// lists before it are acknowledged and the rows read, nothing of this client changes them until
// the differences are submitted; they go out in order, before any list queued after the full sync.
#include <memory>
#include <optional>

#include "intake/CairndbClient.h"
#include "intake/RuntimeReconcile.h"
#include "platform/cairndb/CairnDbClientInterface.h"
#include "proto/CairndbSchema.h"
#include "runtime/Logger.h"
#include "runtime/MemoryAccounts.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

bool CairndbClient::WriteReconciled(std::vector<pb::ModifyRequestMsg>& requests, uint64_t id) {
    if (!lib_)
        return false;
    auto diff = std::make_shared<RuntimeReconcile>();
    if (!diff->Index(requests) || diff->PutCount() < kReconcileMinPuts)
        return false;
    std::shared_ptr<WriterSync> sync = writerSync_;
    const auto deadline = std::chrono::steady_clock::now() + reconcileWait_;
    {
        std::unique_lock<std::mutex> lock(sync->mutex);
        if (!sync->changed.wait_until(lock, deadline,
                                      [&] { return sync->inFlight == 0 || sync->stopping; }) ||
            sync->stopping) {
            CFG_WARN(
                "CairndbClient: writes before full-sync write %1 not acknowledged, written "
                "with its flush",
                id);
            return false;
        }
    }
    // Each table's rows, noted on the library's thread as they arrive while the writer waits. A
    // reply that comes after the writer gave up is ignored.
    struct Read {
        bool done = false;
        bool ok = false;
        bool abandoned = false;
        std::string error;
        // Cleared by the first stored row that cannot be reconciled, which is `unmatched`.
        bool reconcilable = true;
        std::string unmatched;
    };
    for (const RuntimeReconcile::Table& table : diff->tables()) {
        auto read = std::make_shared<Read>();
        lib_->GetRows(
            table.first, static_cast<uint16_t>(table.second),
            [sync, read, diff, table](const std::vector<ozy::cairndb::StoredObject>& rows) {
                std::lock_guard<std::mutex> lock(sync->mutex);
                for (size_t i = 0; !read->abandoned && read->reconcilable && i < rows.size(); ++i) {
                    if (!diff->Note(table, rows[i])) {
                        read->reconcilable = false;
                        read->unmatched = rows[i].oid;
                    }
                }
            },
            [sync, read](const ozy::cairndb::Status& status) {
                {
                    std::lock_guard<std::mutex> lock(sync->mutex);
                    if (read->abandoned)
                        return;
                    // A row the library could not decode is one the flush would delete and the
                    // differences cannot name: the list goes with its flush.
                    read->ok = status.ok && status.skipped == 0 && read->reconcilable;
                    read->error =
                        !status.ok ? status.error
                        : status.skipped != 0
                            ? std::to_string(status.skipped) + " stored rows that do not decode"
                            : "stored row " + read->unmatched + " not reconcilable";
                    read->done = true;
                }
                sync->changed.notify_all();
            });
        std::unique_lock<std::mutex> lock(sync->mutex);
        sync->changed.wait_until(lock, deadline, [&] { return read->done || sync->stopping; });
        if (!read->done || !read->ok) {
            read->abandoned = true;
            const ozy::cairndb::ObjectTypeInfo* info = ozy::cairndb::FindObjectType(table.first);
            CFG_WARN(
                "CairndbClient: stored %1 rows not read (%2), full-sync write %3 written "
                "with its flush",
                info != nullptr ? info->name : std::to_string(table.first),
                read->done ? read->error : std::string("no reply"), id);
            return false;
        }
    }
    const size_t puts = diff->PutCount();
    const size_t stale = diff->Stale();
    std::vector<std::vector<pb::ModifyRequestMsg>> lists = diff->Lists(requests, kReconcileChunk);
    std::vector<pb::ModifyRequestMsg>().swap(requests);
    CFG_INFO(
        "CairndbClient: full-sync write %1 reconciled with the stored rows: %2 of %3 puts "
        "unchanged, %4 stale rows deleted, %5 lists",
        id, diff->Unchanged(), puts, stale, lists.size());
    diff.reset();
    // The rows read and the index are freed: hand their pages back.
    ozy::ReleaseFreedMemory();
    reconciled_.fetch_add(1);
    for (auto& list : lists)
        submit(std::move(list), id);
    return true;
}

}  // namespace CfgAgent
