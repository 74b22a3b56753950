#include "dataplane/KcpBuilders.h"

#include <algorithm>
#include <atomic>

#include "dataplane/KcpPropertyTable.h"
#include "runtime/Logger.h"

namespace CfgAgent::kcp {

namespace {

std::atomic<uint32_t> g_sessionId{0};

// Property elements of a VIF record are cut into elements of at most this many value bytes, so
// that a long MAC or binding list can be spread over fragments.
constexpr size_t kVifPropertyChunk = 1020;

// `room` is what a fragment leaves for the properties of one VIF record.
void AppendChunkedVifProperty(std::vector<std::vector<uint8_t>>& out, uint16_t type,
                              const std::vector<uint8_t>& entries, size_t entrySize, size_t room) {
    size_t limit =
        std::min(kVifPropertyChunk, room > kDpTlvHeaderSize ? room - kDpTlvHeaderSize : 0);
    size_t perChunk = std::max<size_t>(1, limit / entrySize) * entrySize;
    for (size_t pos = 0; pos < entries.size(); pos += perChunk) {
        size_t n = std::min(perChunk, entries.size() - pos);
        std::vector<uint8_t> element;
        DpBytesWriter(element).Tlv(type, entries.data() + pos, n);
        out.push_back(std::move(element));
    }
}

}  // namespace

bool CheckIdField(const std::string& id, size_t width, const char* what) {
    if (id.size() >= width) {
        CFG_ERROR("KCP: %1 \"%2\" is longer than %3 bytes", what, id, width - 1);
        return false;
    }
    return true;
}

// --- small messages ---

DpMsg BuildSessionControl(uint8_t controlType, uint32_t sessionId) {
    DpMsgWriter w(kMsgSessionControl, kSessionControlMsgSize);
    w.Be16(kSessionControlDataType)
        .Be16(static_cast<uint16_t>(kDpTlvHeaderSize + kSessionControlValueSize))
        .U8(controlType)
        .Be32(sessionId)
        .U8(controlType == kSessionOpen ? kSessionOpenTrailer : 0)
        .U8(0);
    return w.Finish();
}

uint32_t NewSessionId() {
    return g_sessionId.fetch_add(1, std::memory_order_acq_rel) + 1;
}
uint32_t CurrentSessionId() {
    return g_sessionId.load(std::memory_order_acquire);
}

DpMsg BuildInit(uint16_t maxMsgLength) {
    DpMsgWriter w(kMsgInit, kDpMsgHeaderSize + kDpTlvHeaderSize + 2);
    uint8_t v[2];
    StoreBe16(v, maxMsgLength);
    w.Tlv(kInitMaxMsgLength, v, sizeof v);
    return w.Finish();
}

DpMsg BuildDpStatusQuery() {
    DpMsgWriter w(kMsgQuery, kDpMsgHeaderSize + kDpTlvHeaderSize);
    w.Tlv(kQueryDpStatus, nullptr, 0);
    return w.Finish();
}

DpMsg BuildDpStatusNotification(uint8_t status) {
    DpMsgWriter w(kMsgNotification, kDpMsgHeaderSize + kDpTlvHeaderSize + 1);
    w.Tlv(kNotifyDpStatus, &status, 1);
    return w.Finish();
}

DpMsg BuildPortOutOfSyncNotification(const std::string& vifId) {
    if (!CheckIdField(vifId, kIdSize, "VIF ID"))
        return DpMsg();
    DpMsgWriter w(kMsgNotification, kDpMsgHeaderSize + kDpTlvHeaderSize + kIdSize);
    w.Be16(kNotifyPortPropOutOfSync).Be16(kDpTlvHeaderSize + kIdSize).FixedString(vifId, kIdSize);
    return w.Finish();
}

DpMsg BuildKrnnicOutOfSyncNotification(const std::string& krnnicName) {
    if (!CheckIdField(krnnicName, kKrnnicNameSize, "kernel interface name"))
        return DpMsg();
    DpMsgWriter w(kMsgNotification, kDpMsgHeaderSize + kDpTlvHeaderSize + kKrnnicNameSize);
    w.Be16(kNotifyKrnnicPropOutOfSync)
        .Be16(kDpTlvHeaderSize + kKrnnicNameSize)
        .FixedString(krnnicName, kKrnnicNameSize);
    return w.Finish();
}

DpMsg BuildHopoverSyncNotification(const std::string& vifId, uint16_t syncType) {
    if (!CheckIdField(vifId, kIdSize, "VIF ID"))
        return DpMsg();
    DpMsgWriter w(kMsgNotification, kDpMsgHeaderSize + kDpTlvHeaderSize + kHopoverValueSize);
    w.Be16(kNotifyPortContainerHopover)
        .Be16(kDpTlvHeaderSize + kHopoverValueSize)
        .FixedString(vifId, kIdSize)
        .Be16(syncType);
    return w.Finish();
}

// --- KcpUpdateBuilder ---

size_t KcpUpdateBuilder::Record::Size() const {
    size_t n = head.size();
    for (const auto& p : properties)
        n += p.size();
    return n;
}

KcpUpdateBuilder::KcpUpdateBuilder(size_t maxMsgLength)
    : max_(std::min(maxMsgLength, kDpMaxMsgSize)) {}

bool KcpUpdateBuilder::Fail() {
    ok_ = false;
    return false;
}

bool KcpUpdateBuilder::AddVifUpdate(uint8_t op, const std::vector<VifRecordSpec>& records) {
    Element e;
    e.type = kVifUpdate;
    e.prefix.push_back(op);
    for (const VifRecordSpec& r : records) {
        if (!CheckIdField(r.vifId, kIdSize, "VIF ID") ||
            !CheckIdField(r.portId, kIdSize, "port ID") ||
            !CheckIdField(r.switchId, kSwitchIdSize, "switch ID") ||
            !CheckIdField(r.parentVifId, kIdSize, "parent VIF ID")) {
            return Fail();
        }
        Record rec;
        DpBytesWriter(rec.head)
            .FixedString(r.vifId, kIdSize)
            .FixedString(r.portId, kIdSize)
            .FixedString(r.switchId, kSwitchIdSize)
            .FixedString(r.parentVifId, kIdSize)
            .U8(r.vifType)
            .U8(r.smartNic ? 1 : 0)
            .U8(r.hopover ? 1 : 0)
            .Be16(0);
        rec.lengthOffset = static_cast<int>(kVifRecordLengthOffset);
        const size_t overhead = kUpdateFirstTlvOffset + kDpTlvHeaderSize + 1 + kVifFixedSize;
        const size_t room = max_ > overhead ? max_ - overhead : 0;
        if (r.status) {
            std::vector<uint8_t> element;
            uint8_t s = *r.status;
            DpBytesWriter(element).Tlv(kVifPropStatus, &s, 1);
            rec.properties.push_back(std::move(element));
        }
        if (!r.macs.empty()) {
            std::vector<uint8_t> macs;
            for (const MacAddr& m : r.macs)
                macs.insert(macs.end(), m.begin(), m.end());
            AppendChunkedVifProperty(rec.properties, kVifPropMac, macs, kMacSize, room);
        }
        if (!r.bindings.empty()) {
            std::vector<uint8_t> entries;
            DpBytesWriter bw(entries);
            for (const Binding& b : r.bindings) {
                bw.U8(b.ipv4 ? 1 : 0)
                    .Bytes(b.address.data(), 16)
                    .Bytes(b.mac.data(), kMacSize)
                    .Be16(b.vlan)
                    .U8(b.method)
                    .Be64(b.timestamp);
            }
            AppendChunkedVifProperty(rec.properties, kVifPropBindings, entries, kBindingSize, room);
        }
        e.records.push_back(std::move(rec));
    }
    elements_.push_back(std::move(e));
    return true;
}

namespace {
bool CheckPropertyElements(const std::vector<std::vector<uint8_t>>& props) {
    for (const auto& p : props) {
        if (p.size() < kDpTlvHeaderSize || LoadBe16(p.data() + 2) != p.size()) {
            CFG_ERROR("KCP: malformed property element of %1 bytes", p.size());
            return false;
        }
    }
    return true;
}
}  // namespace

bool KcpUpdateBuilder::AddPortProperties(uint8_t op, const std::vector<PropertyRecordSpec>& ports) {
    std::vector<PropertyRecordSpec> copy(ports);
    return AddPortProperties(op, std::move(copy));
}

bool KcpUpdateBuilder::AddPortProperties(uint8_t op, std::vector<PropertyRecordSpec>&& ports) {
    std::vector<PropertyRecordSpec> taken;
    taken.swap(ports);
    Element e;
    e.type = kPortPropertyUpdate;
    e.prefix.push_back(op);
    e.records.reserve(taken.size());
    for (PropertyRecordSpec& p : taken) {
        if (!CheckIdField(p.id, kIdSize, "port ID") || !CheckPropertyElements(p.properties)) {
            return Fail();
        }
        Record rec;
        DpBytesWriter(rec.head).FixedString(p.id, kIdSize).Be16(0);
        rec.lengthOffset = static_cast<int>(kIdSize);
        rec.properties = std::move(p.properties);
        e.records.push_back(std::move(rec));
    }
    elements_.push_back(std::move(e));
    return true;
}

bool KcpUpdateBuilder::AddKrnnicProperties(uint8_t op,
                                           const std::vector<PropertyRecordSpec>& krnnics) {
    Element e;
    e.type = kKrnnicPropertyUpdate;
    e.prefix.push_back(op);
    for (const PropertyRecordSpec& k : krnnics) {
        if (!CheckIdField(k.id, kKrnnicNameSize, "kernel interface name") ||
            !CheckPropertyElements(k.properties)) {
            return Fail();
        }
        Record rec;
        DpBytesWriter(rec.head).FixedString(k.id, kKrnnicNameSize).Be16(0);
        rec.lengthOffset = static_cast<int>(kKrnnicNameSize);
        rec.properties = k.properties;
        e.records.push_back(std::move(rec));
    }
    elements_.push_back(std::move(e));
    return true;
}

bool KcpUpdateBuilder::AddIdList(uint16_t type, const std::vector<std::string>& ids, size_t width,
                                 const char* what) {
    Element e;
    e.type = type;
    for (const std::string& id : ids) {
        if (!CheckIdField(id, width, what)) {
            return Fail();
        }
        Record rec;
        DpBytesWriter(rec.head).FixedString(id, width);
        e.records.push_back(std::move(rec));
    }
    elements_.push_back(std::move(e));
    return true;
}

bool KcpUpdateBuilder::AddPortList(const std::vector<std::string>& portIds) {
    return AddIdList(kPortListUpdate, portIds, kIdSize, "port ID");
}

bool KcpUpdateBuilder::AddKrnnicList(const std::vector<std::string>& names) {
    return AddIdList(kKrnnicListUpdate, names, kKrnnicNameSize, "kernel interface name");
}

bool KcpUpdateBuilder::AddSwxList(const std::vector<std::string>& switchIds) {
    return AddIdList(kSwxListUpdate, switchIds, kSwitchIdSize, "switch ID");
}

bool KcpUpdateBuilder::AddContainerList(const std::vector<std::string>& cifIds) {
    return AddIdList(kContainerListUpdate, cifIds, kIdSize, "container ID");
}

bool KcpUpdateBuilder::AddSwxProperties(const std::string& switchId, uint8_t op,
                                        const std::vector<std::vector<uint8_t>>& properties) {
    if (!CheckIdField(switchId, kSwitchIdSize, "switch ID") || !CheckPropertyElements(properties)) {
        return Fail();
    }
    Element e;
    e.type = kSwxPropertyUpdate;
    Record rec;
    DpBytesWriter(rec.head).FixedString(switchId, kSwitchIdSize).U8(op).Be16(0);
    rec.lengthOffset = static_cast<int>(kSwitchIdSize + 1);
    rec.properties = properties;
    e.records.push_back(std::move(rec));
    elements_.push_back(std::move(e));
    return true;
}

bool KcpUpdateBuilder::AddContainers(const std::vector<ContainerRecord>& containers) {
    Element e;
    e.type = kContainerUpdate;
    for (const ContainerRecord& c : containers) {
        if (!CheckIdField(c.cifId, kIdSize, "container ID") ||
            !CheckIdField(c.portId, kIdSize, "port ID") ||
            !CheckIdField(c.vmPortId, kIdSize, "VM port ID") ||
            !CheckIdField(c.vmVifId, kIdSize, "VM VIF ID") || c.addresses.size() > 0xFFFF) {
            return Fail();
        }
        Record rec;
        DpBytesWriter w(rec.head);
        w.FixedString(c.cifId, kIdSize)
            .FixedString(c.portId, kIdSize)
            .FixedString(c.vmPortId, kIdSize)
            .FixedString(c.vmVifId, kIdSize)
            .Be16(c.vlan)
            .Bytes(c.mac.data(), kMacSize)
            .Be16(static_cast<uint16_t>(c.addresses.size()));
        for (const ContainerAddress& a : c.addresses) {
            w.U8(a.ipv4 ? 1 : 0).Bytes(a.address.data(), 16).Bytes(a.mac.data(), kMacSize);
        }
        CFG_DEBUG("Send container update itemLen %1, allocLen %2, EntryNum %3", rec.head.size(),
                  kDpTlvHeaderSize + rec.head.size(), c.addresses.size());
        e.records.push_back(std::move(rec));
    }
    elements_.push_back(std::move(e));
    return true;
}

bool KcpUpdateBuilder::AddPortContainerList(const std::string& parentVifId,
                                            const std::vector<std::string>& containerVifIds) {
    if (!CheckIdField(parentVifId, kIdSize, "parent VIF ID")) {
        return Fail();
    }
    Element e;
    e.type = kPortContainerListUpdate;
    DpBytesWriter(e.prefix).FixedString(parentVifId, kIdSize);
    for (const std::string& id : containerVifIds) {
        if (!CheckIdField(id, kIdSize, "container VIF ID")) {
            return Fail();
        }
        Record rec;
        DpBytesWriter(rec.head).FixedString(id, kIdSize);
        e.records.push_back(std::move(rec));
    }
    elements_.push_back(std::move(e));
    return true;
}

bool KcpUpdateBuilder::AddUplinks(uint8_t op, const std::vector<UplinkRecord>& uplinks) {
    Element e;
    e.type = kUplinkUpdate;
    e.prefix.push_back(op);
    for (const UplinkRecord& u : uplinks) {
        if (!CheckIdField(u.portId, kIdSize, "uplink port ID") ||
            !CheckIdField(u.switchId, kSwitchIdSize, "switch ID") ||
            !CheckIdField(u.clientName, kUplinkClientSize, "uplink client name") ||
            !CheckIdField(u.alias, kUplinkAliasSize, "uplink alias")) {
            return Fail();
        }
        Record rec;
        DpBytesWriter(rec.head)
            .FixedString(u.portId, kIdSize)
            .FixedString(u.switchId, kSwitchIdSize)
            .FixedString(u.clientName, kUplinkClientSize)
            .FixedString(u.alias, kUplinkAliasSize);
        e.records.push_back(std::move(rec));
    }
    elements_.push_back(std::move(e));
    return true;
}

size_t KcpUpdateBuilder::UnfragmentedSize() const {
    size_t n = kUpdateFirstTlvOffset;
    for (const Element& e : elements_) {
        n += kDpTlvHeaderSize + e.prefix.size();
        for (const Record& r : e.records)
            n += r.Size();
    }
    return n;
}

// Packs elements into fragment bodies of at most `budget` bytes (the element list after the flag
// byte). An element piece is open from OpenPiece to ClosePiece.
class KcpUpdateBuilder::Packer {
  public:
    explicit Packer(size_t budget) : budget_(budget) {}

    size_t Room() const { return budget_ - cur_.size(); }
    // True when the current fragment holds nothing but the open piece's head.
    bool FreshPiece() const { return pieceStart_ == 0 && pieceRecords_ == 0; }

    bool OpenPiece(const Element& e) {
        size_t need = kDpTlvHeaderSize + e.prefix.size();
        if (Room() < need) {
            Flush();
            if (Room() < need)
                return false;
        }
        pieceStart_ = cur_.size();
        pieceRecords_ = 0;
        DpBytesWriter(cur_).Be16(e.type).Be16(0).Bytes(e.prefix.data(), e.prefix.size());
        return true;
    }

    void ClosePiece() {
        StoreBe16(cur_.data() + pieceStart_ + 2, static_cast<uint16_t>(cur_.size() - pieceStart_));
    }

    // Closes the open piece, starts a new fragment, reopens a piece of the same element there.
    bool Continue(const Element& e) {
        ClosePiece();
        Flush();
        return OpenPiece(e);
    }

    void Append(const Record& r, size_t first, size_t last) {
        size_t at = cur_.size();
        cur_.insert(cur_.end(), r.head.begin(), r.head.end());
        size_t len = r.head.size();
        for (size_t i = first; i < last; ++i) {
            cur_.insert(cur_.end(), r.properties[i].begin(), r.properties[i].end());
            len += r.properties[i].size();
        }
        if (r.lengthOffset >= 0) {
            StoreBe16(cur_.data() + at + static_cast<size_t>(r.lengthOffset),
                      static_cast<uint16_t>(len));
        }
        ++pieceRecords_;
    }

    void Flush() {
        fragments_.push_back(std::move(cur_));
        cur_.clear();
        pieceStart_ = 0;
        pieceRecords_ = 0;
    }

    std::vector<std::vector<uint8_t>> Take() {
        if (!cur_.empty())
            Flush();
        return std::move(fragments_);
    }

  private:
    size_t budget_;
    std::vector<uint8_t> cur_;
    size_t pieceStart_ = 0;
    size_t pieceRecords_ = 0;
    std::vector<std::vector<uint8_t>> fragments_;
};

std::vector<DpMsg> KcpUpdateBuilder::Build() const {
    if (!ok_) {
        CFG_ERROR("KCP: Update not built: its content is invalid");
        return {};
    }
    if (elements_.empty()) {
        CFG_ERROR("KCP: Update not built: it has no elements");
        return {};
    }
    if (max_ < kUpdateFirstTlvOffset + kDpTlvHeaderSize + kSwxHeadSize) {
        CFG_ERROR("KCP: maximum message length %1 is too small for an Update", max_);
        return {};
    }
    Packer packer(max_ - kUpdateFirstTlvOffset);
    for (const Element& e : elements_) {
        if (!packer.OpenPiece(e)) {
            CFG_ERROR("KCP: %1 element head does not fit in %2 bytes", UpdateTypeName(e.type),
                      max_);
            return {};
        }
        for (const Record& r : e.records) {
            size_t size = r.Size();
            if (size <= packer.Room()) {
                packer.Append(r, 0, r.properties.size());
                continue;
            }
            if (!packer.FreshPiece() && !packer.Continue(e)) {
                return {};
            }
            if (size <= packer.Room()) {
                packer.Append(r, 0, r.properties.size());
                continue;
            }
            // Larger than a whole fragment: spread its properties over copies of its head.
            size_t i = 0;
            while (i < r.properties.size()) {
                size_t used = r.head.size();
                size_t j = i;
                while (j < r.properties.size() && used + r.properties[j].size() <= packer.Room()) {
                    used += r.properties[j++].size();
                }
                if (j == i) {
                    if (packer.FreshPiece()) {
                        CFG_ERROR(
                            "KCP: a %1 property of %2 bytes does not fit in a %3-byte message",
                            UpdateTypeName(e.type), r.properties[i].size(), max_);
                        return {};
                    }
                    if (!packer.Continue(e))
                        return {};
                    continue;
                }
                packer.Append(r, i, j);
                i = j;
                if (i < r.properties.size() && !packer.Continue(e)) {
                    return {};
                }
            }
            if (r.properties.empty()) {
                CFG_ERROR("KCP: a %1 record of %2 bytes does not fit in a %3-byte message",
                          UpdateTypeName(e.type), size, max_);
                return {};
            }
        }
        packer.ClosePiece();
    }
    std::vector<std::vector<uint8_t>> bodies = packer.Take();
    std::vector<DpMsg> out;
    out.reserve(bodies.size());
    for (size_t i = 0; i < bodies.size(); ++i) {
        DpMsgWriter w(kMsgUpdate, kUpdateFirstTlvOffset + bodies[i].size());
        w.U8(i + 1 < bodies.size() ? kUpdateFragmentFlag : 0)
            .Bytes(bodies[i].data(), bodies[i].size());
        DpMsg m = w.Finish();
        if (m.empty())
            return {};
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace CfgAgent::kcp
