// A full-sync runtime write as its differences from the stored rows: which lists can be
// reconciled, what a stored row makes of a put, the lists written; then the client's writer on the
// fake library: when it reconciles, what it writes, and when it writes the list as it is.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intake/RuntimeReconcile.h"
#include "platform/cairndb/CairnDbClientInterface.h"
#include "proto/UuidText.h"
#include "tests/intake/CairndbClientTestUtil.h"

namespace CfgAgent::test {
namespace {

using Requests = std::vector<pb::ModifyRequestMsg>;
using ozy::cairndb::StoredObject;

constexpr int kVif = pb::VIF_STATE;
constexpr int kHop = pb::HOPOVER_STATUS;

pb::ModifyRequestMsg Flush(int type, uint32_t vdb = 1) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    r.mutable_flush()->set_object_type(static_cast<pb::ObjectType>(type));
    return r;
}

std::string VifBody(uint64_t i, uint32_t status) {
    pb::VifStateMsg v;
    *v.mutable_id() = Uuid(i);
    v.set_vif_id("vif-" + std::to_string(i));
    v.set_status(status);
    return v.SerializeAsString();
}

std::string HopBody(uint64_t i) {
    pb::HopoverStatusMsg h;
    *h.mutable_id() = Uuid(i);
    h.set_status(1);
    return h.SerializeAsString();
}

pb::ModifyRequestMsg Put(int type, const std::string& body, uint32_t vdb = 1) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    r.mutable_put()->mutable_object()->set_object_type(static_cast<pb::ObjectType>(type));
    r.mutable_put()->mutable_object()->set_body(body);
    return r;
}

pb::ModifyRequestMsg VifPut(uint64_t i, uint32_t status = 1) {
    return Put(kVif, VifBody(i, status));
}

std::string Oid(uint64_t i) {
    pb::UuidMsg u = Uuid(i);
    return ozy::cairndb::UuidText(u.left(), u.right());
}

StoredObject Stored(uint64_t i, const std::string& body, const std::string& op = "") {
    StoredObject o;
    o.oid = Oid(i);
    o.vdb = 1;
    o.body = body;
    o.op = op;
    return o;
}

// A list's requests as text: "put VIF_STATE <right of id> status", "delete <type> <right>",
// "flush <type>".
std::string Describe(const pb::ModifyRequestMsg& r) {
    if (r.has_flush())
        return "flush " + std::to_string(r.flush().object_type());
    if (r.has_delete_())
        return "delete " + std::to_string(r.delete_().object_type()) + " " +
               std::to_string(r.delete_().id().right());
    if (r.put().object().object_type() == pb::VIF_STATE) {
        pb::VifStateMsg v;
        v.ParseFromString(r.put().object().body());
        return "put " + std::to_string(v.id().right()) + " " + std::to_string(v.status());
    }
    pb::HopoverStatusMsg h;
    h.ParseFromString(r.put().object().body());
    return "hop " + std::to_string(h.id().right());
}

std::vector<std::string> Describe(const std::vector<Requests>& lists) {
    std::vector<std::string> out;
    for (const Requests& l : lists) {
        for (const auto& r : l)
            out.push_back(Describe(r));
        out.push_back("|");
    }
    return out;
}

TEST(RuntimeReconcileTest, OnlyFlushesFollowedByPutsOfTheFlushedTablesAreIndexed) {
    pb::ModifyRequestMsg patch;
    patch.set_vdb(1);
    patch.mutable_patch()->set_object_type(pb::VIF_STATE);
    *patch.mutable_patch()->mutable_id() = Uuid(1);
    pb::ModifyRequestMsg del;
    del.set_vdb(1);
    del.mutable_delete_()->set_object_type(pb::VIF_STATE);
    pb::ModifyRequestMsg vdb0 = VifPut(2);
    vdb0.set_vdb(0);
    pb::VifStateMsg noId;
    noId.set_vif_id("x");
    struct Case {
        const char* name;
        Requests list;
        bool indexed;
    };
    const Case cases[] = {
        {"flushes and puts", {Flush(kVif), Flush(kHop), VifPut(1), Put(kHop, HopBody(1))}, true},
        {"a flush alone", {Flush(kVif)}, true},
        {"a patch", {Flush(kVif), VifPut(1), patch}, false},
        {"a delete", {Flush(kVif), del}, false},
        {"a put before the flush", {VifPut(1), Flush(kVif)}, false},
        {"a flush after a put", {Flush(kVif), VifPut(1), Flush(kHop)}, false},
        {"a put of a table not flushed", {Flush(kVif), Put(kHop, HopBody(1))}, false},
        {"a put of another vdb", {Flush(kVif), Put(kVif, VifBody(1, 1), 2)}, false},
        {"vdb 0", {Flush(kVif), vdb0}, false},
        {"a body that does not parse", {Flush(kVif), Put(kVif, "\xff\xff")}, false},
        {"a body without id", {Flush(kVif), Put(kVif, noId.SerializeAsString())}, false},
        {"an empty request", {Flush(kVif), pb::ModifyRequestMsg()}, false},
    };
    for (const Case& c : cases) {
        RuntimeReconcile diff;
        EXPECT_EQ(diff.Index(c.list), c.indexed) << c.name;
    }
    RuntimeReconcile diff;
    Requests list = {Flush(kVif), Flush(kHop), Flush(kVif, 3),
                     VifPut(1),   VifPut(2),   Put(kHop, HopBody(1))};
    ASSERT_TRUE(diff.Index(list));
    EXPECT_EQ(diff.PutCount(), 3u);
    EXPECT_EQ(diff.tables(),
              (std::vector<RuntimeReconcile::Table>{{kVif, 1}, {kHop, 1}, {kVif, 3}}));
}

TEST(RuntimeReconcileTest, StoredRowsDecideWhatIsWrittenAndWhatIsDeleted) {
    pb::ModifyRequestMsg traced = VifPut(5);
    traced.mutable_put()->mutable_span()->set_span_id(9);
    // Puts 1..6 (6 twice: the later one counts) and hopover 1; a chunk of three requests.
    Requests list = {Flush(kVif), Flush(kHop), VifPut(1), VifPut(2),    VifPut(3),
                     VifPut(4),   traced,      VifPut(6), VifPut(6, 2), Put(kHop, HopBody(1))};
    RuntimeReconcile diff;
    ASSERT_TRUE(diff.Index(list));
    struct Row {
        int type;
        StoredObject row;
    };
    const Row rows[] = {
        {kVif, Stored(1, VifBody(1, 1))},        // as the put writes it: left out
        {kVif, Stored(2, VifBody(2, 0))},        // another body: written
        {kVif, Stored(3, VifBody(3, 1), "op")},  // an op of its own: written
        {kVif, Stored(5, VifBody(5, 1))},        // the put carries a trace: written
        {kVif, Stored(6, VifBody(6, 2))},        // as the later put of 6 writes it
        {kVif, Stored(7, VifBody(7, 1))},        // no put: deleted
        {kHop, Stored(1, HopBody(1))},           // unchanged
        {kHop, Stored(8, HopBody(8))},           // no put: deleted
    };
    for (const Row& r : rows)
        ASSERT_TRUE(diff.Note({r.type, 1}, r.row)) << r.row.oid;
    EXPECT_EQ(diff.Unchanged(), 3u);
    EXPECT_EQ(diff.Stale(), 2u);
    std::vector<Requests> lists = diff.Lists(list, 3);
    EXPECT_EQ(Describe(lists),
              (std::vector<std::string>{"put 2 1", "put 3 1", "put 4 1", "|", "put 5 1",
                                        "delete " + std::to_string(kVif) + " 7",
                                        "delete " + std::to_string(kHop) + " 8", "|"}));
    EXPECT_EQ(lists[1][1].delete_().id().left(), Uuid(7).left());
    EXPECT_EQ(lists[1][1].vdb(), 1u);

    // A stored row between two puts' identifiers is neither's.
    Requests two = {Flush(kVif), VifPut(1), VifPut(3)};
    RuntimeReconcile between;
    ASSERT_TRUE(between.Index(two));
    ASSERT_TRUE(between.Note({kVif, 1}, Stored(2, VifBody(2, 1))));
    ASSERT_TRUE(between.Note({kVif, 1}, Stored(3, VifBody(3, 1))));
    EXPECT_EQ(between.Stale(), 1u);
    EXPECT_EQ(between.Unchanged(), 1u);

    // Nothing differs: nothing to write.
    Requests same = {Flush(kVif), VifPut(1)};
    RuntimeReconcile none;
    ASSERT_TRUE(none.Index(same));
    ASSERT_TRUE(none.Note({kVif, 1}, Stored(1, VifBody(1, 1))));
    EXPECT_TRUE(none.Lists(same, 3).empty());
}

TEST(RuntimeReconcileTest, RowsThatCannotBeMatchedRefuseTheReconciliation) {
    Requests list = {Flush(kVif), VifPut(1)};
    StoredObject upper = Stored(9, VifBody(9, 1));
    upper.oid[0] = 'A';  // a UUID, in upper case
    StoredObject text = Stored(9, VifBody(9, 1));
    text.oid = "vif-9";
    StoredObject none = Stored(9, VifBody(9, 1));
    none.oid = "";
    struct Case {
        const char* name;
        RuntimeReconcile::Table table;
        std::vector<StoredObject> rows;
    };
    const Case cases[] = {
        {"an identifier in upper case", {kVif, 1}, {upper}},
        {"an identifier that is no UUID", {kVif, 1}, {text}},
        {"no identifier", {kVif, 1}, {none}},
        {"a second row of one object", {kVif, 1}, {Stored(1, "a"), Stored(1, "b")}},
        {"a table not flushed", {kHop, 1}, {Stored(2, HopBody(2))}},
    };
    for (const Case& c : cases) {
        RuntimeReconcile diff;
        ASSERT_TRUE(diff.Index(list));
        bool ok = true;
        for (const StoredObject& r : c.rows)
            ok = ok && diff.Note(c.table, r);
        EXPECT_FALSE(ok) << c.name;
    }
}

// ---- the client's writer ----

// VIFs of a large full sync: more than two lists of differences.
constexpr size_t kBig = CairndbClient::kReconcileMinPuts + 2 * CairndbClient::kReconcileChunk;

class ReconcileWriterTest : public CairndbClientFixture {
  protected:
    void MakeClient(std::chrono::milliseconds wait = std::chrono::seconds(30)) {
        CairndbClientOptions options;
        options.persona = kPersonaOther;
        options.library = lib;
        options.reconcileWait = wait;
        client = ozy::MakeRef<CairndbClient>(queue, RuntimeStateSource{}, options);
        ASSERT_TRUE(client->start());
        lib->Channel(true);
    }
    // The full-sync list of VIFs 0..n-1 (status 1) and hopover 0.
    static Requests FullSync(size_t n) {
        Requests list = {Flush(kVif), Flush(kHop)};
        for (size_t i = 0; i < n; ++i)
            list.push_back(VifPut(i));
        list.push_back(Put(kHop, HopBody(0)));
        return list;
    }
    // Stored: the VIFs of FullSync(kBig) as it writes them but VIF 3 (another status), and VIF
    // kBig + 5, which it does not name; returns them.
    std::vector<StoredObject> StoreVifsOneChangedOneGone() {
        std::vector<StoredObject> vifs;
        for (size_t i = 0; i < kBig; ++i)
            vifs.push_back(Stored(i, VifBody(i, i == 3 ? 0 : 1)));
        vifs.push_back(Stored(kBig + 5, VifBody(kBig + 5, 1)));
        lib->SetStoredOfType(kVif, vifs);
        return vifs;
    }
    // The requests of every write after the first `from`, in order.
    std::vector<std::string> Written(size_t from = 0) {
        std::vector<std::string> out;
        auto writes = lib->Writes();
        for (size_t w = from; w < writes.size(); ++w) {
            for (const auto& r : writes[w])
                out.push_back(Describe(r));
        }
        return out;
    }
};

TEST_F(ReconcileWriterTest, ALargeFullSyncWritesOnlyWhatDiffersFromTheStoredRows) {
    MakeClient();
    StoreVifsOneChangedOneGone();
    lib->SetStoredOfType(kHop, {Stored(0, HopBody(0))});
    // A delta written before the full sync, and one after it.
    client->writeRuntime({VifPut(1)}, ICairndbClient::kRuntimeConfig, false);
    client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
    client->writeRuntime({VifPut(2)}, ICairndbClient::kRuntimeConfig, false);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 3; }));
    EXPECT_EQ(client->reconciledWrites(), 1u);
    EXPECT_EQ(lib->Gets(), (std::vector<std::pair<int, uint16_t>>{{kVif, 1}, {kHop, 1}}));
    EXPECT_EQ(Written(),
              (std::vector<std::string>{
                  "put 1 1", "put 3 1",
                  "delete " + std::to_string(kVif) + " " + std::to_string(kBig + 5), "put 2 1"}));
}

// The stored rows are noted batch by batch as the library hands them on: whatever the batches,
// the same differences; a row that cannot be matched in a later batch, or a row the library left
// out, still writes the flush, the rows left out named first.
TEST_F(ReconcileWriterTest, StoredRowsAreNotedBatchByBatch) {
    LogCapture logs;
    MakeClient();
    std::vector<StoredObject> vifs = StoreVifsOneChangedOneGone();
    lib->SetStoredOfType(kHop, {});
    const std::vector<std::string> differences = {
        "put 3 1", "hop 0", "delete " + std::to_string(kVif) + " " + std::to_string(kBig + 5)};
    size_t writes = 0;
    for (size_t batch : {size_t{1}, size_t{2}, kBig, kBig + 1, kBig + 7}) {
        lib->SetRowsBatch(batch);
        client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
        ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == writes + 1; })) << batch;
        EXPECT_EQ(Written(writes), differences) << batch;
        ++writes;
    }
    EXPECT_EQ(client->reconciledWrites(), writes);

    vifs.back().oid = "vif-x";
    lib->SetStoredOfType(kVif, vifs);
    lib->SetRowsBatch(2);
    client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == writes + 1; }));
    EXPECT_EQ(lib->Writes()[writes].size(), kBig + 3);
    EXPECT_TRUE(lib->Writes()[writes][0].has_flush());
    EXPECT_TRUE(logs.Contains("(stored row vif-x not reconcilable), full-sync write"));
    ++writes;

    ozy::cairndb::Status partial;
    partial.skipped = 2;
    lib->SetStored({}, partial);
    client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == writes + 1; }));
    EXPECT_EQ(lib->Writes()[writes].size(), kBig + 3);
    EXPECT_TRUE(logs.Contains("(2 stored rows that do not decode), full-sync write"));
    EXPECT_EQ(client->reconciledWrites(), writes - 1);
}

TEST_F(ReconcileWriterTest, TheDifferencesGoOutInBoundedLists) {
    MakeClient();
    // An empty database: every put is written, kReconcileChunk to a list.
    client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 3; }));
    auto writes = lib->Writes();
    EXPECT_EQ(writes[0].size(), CairndbClient::kReconcileChunk);
    EXPECT_EQ(writes[1].size(), CairndbClient::kReconcileChunk);
    EXPECT_EQ(writes[2].size(), kBig + 1 - 2 * CairndbClient::kReconcileChunk);
    auto all = Written();
    EXPECT_EQ(all.front(), "put 0 1");
    EXPECT_EQ(all.back(), "hop 0");
    EXPECT_EQ(client->reconciledWrites(), 1u);
}

TEST_F(ReconcileWriterTest, OtherListsAreWrittenAsTheyAre) {
    MakeClient();
    const size_t small = CairndbClient::kReconcileMinPuts - 2;  // and the hopover record
    Requests withPatch = FullSync(kBig);
    pb::ModifyRequestMsg patch;
    patch.set_vdb(1);
    patch.mutable_patch()->set_object_type(pb::VIF_STATE);
    withPatch.push_back(patch);
    struct Case {
        const char* name;
        Requests list;
        int kind;
        bool fullSync;
    };
    const Case cases[] = {
        {"fewer puts", FullSync(small), ICairndbClient::kRuntimeConfig, true},
        {"a delta", FullSync(kBig), ICairndbClient::kRuntimeConfig, false},
        {"the L2 runtime state", FullSync(kBig), ICairndbClient::kRuntimeL2, true},
        {"a patch in the list", withPatch, ICairndbClient::kRuntimeConfig, true},
    };
    size_t writes = 0;
    for (const Case& c : cases) {
        client->writeRuntime(c.list, c.kind, c.fullSync);
        ++writes;
        ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == writes; })) << c.name;
        EXPECT_EQ(lib->Writes().back().size(), c.list.size()) << c.name;
    }
    // A plain write of such a list is never reconciled.
    client->write(FullSync(kBig));
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == writes + 1; }));
    EXPECT_EQ(lib->Writes().back().size(), kBig + 3);
    EXPECT_EQ(client->reconciledWrites(), 0u);
    EXPECT_TRUE(lib->Gets().empty());
}

TEST_F(ReconcileWriterTest, AFailedOrUnansweredReadWritesTheFlush) {
    LogCapture logs;
    MakeClient(std::chrono::milliseconds(0));
    // The read fails: the list as it is, flushes first.
    lib->SetStored({}, ozy::cairndb::Status::Error("not connected"));
    client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 1; }));
    EXPECT_EQ(lib->Writes()[0].size(), kBig + 3);
    EXPECT_TRUE(lib->Writes()[0][0].has_flush());
    EXPECT_TRUE(logs.Contains("(not connected), full-sync write"));
    // A stored row that cannot be matched: the same.
    StoredObject odd = Stored(1, VifBody(1, 1));
    odd.oid = "vif-1";
    lib->SetStored({odd});
    client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 2; }));
    EXPECT_EQ(lib->Writes()[1].size(), kBig + 3);
    // A read that left out a row it could not decode (the flush would delete it, the differences
    // cannot name it): the same.
    ozy::cairndb::Status partial;
    partial.skipped = 1;
    lib->SetStored({Stored(1, VifBody(1, 1))}, partial);
    client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 3; }));
    EXPECT_EQ(lib->Writes()[2].size(), kBig + 3);
    EXPECT_TRUE(lib->Writes()[2][0].has_flush());
    EXPECT_TRUE(logs.Contains("(1 stored rows that do not decode), full-sync write"));
    // No answer within the wait: the same; the late answer changes nothing.
    lib->SetStored({});
    lib->HoldGets(true);
    client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 4; }));
    EXPECT_EQ(lib->Writes()[3].size(), kBig + 3);
    EXPECT_TRUE(logs.Contains("(no reply), full-sync write"));
    lib->ReleaseGets();
    EXPECT_EQ(client->reconciledWrites(), 0u);
    EXPECT_EQ(lib->WriteCount(), 4u);
}

TEST_F(ReconcileWriterTest, StoppingWhileTheRowsAreReadWritesTheFlush) {
    MakeClient();
    lib->HoldGets(true);
    client->writeRuntime(FullSync(kBig), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return lib->HeldGets() == 1; }));
    client->stop();
    ASSERT_TRUE(AwaitTrue([&] { return !client->writerRunning(); }));
    ASSERT_EQ(lib->WriteCount(), 1u);
    EXPECT_EQ(lib->Writes()[0].size(), kBig + 3);
    lib->ReleaseGets();
    EXPECT_EQ(client->reconciledWrites(), 0u);
}

}  // namespace
}  // namespace CfgAgent::test
