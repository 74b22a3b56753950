#include "tools/ozy-dpemu/LivetraceFamily.h"

#include <pcap/pcap.h>

#include <chrono>

#include "dataplane/DpFraming.h"
#include "dataplane/LivetraceProtocol.h"
#include "proto/UuidText.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/OpsAgent.h"
#include "tools/ozy-dpemu/RecordingFamily.h"

namespace ozy::dpemu {

namespace lt = CfgAgent::livetrace;
using CfgAgent::DpBytesWriter;
using CfgAgent::LoadBe16;
using CfgAgent::LoadBe32;
using CfgAgent::LoadBe64;

namespace {

constexpr const char* kNotConnected = "the agent is not connected to the livetrace endpoint";

// Classic BPF instructions from the FILTER element: code, jt, jf, k, big-endian.
std::vector<bpf_insn> Instructions(const std::vector<uint8_t>& bytes) {
    std::vector<bpf_insn> insns(bytes.size() / lt::kBpfInsnSize);
    for (size_t i = 0; i < insns.size(); ++i) {
        const uint8_t* p = bytes.data() + i * lt::kBpfInsnSize;
        insns[i].code = LoadBe16(p);
        insns[i].jt = p[2];
        insns[i].jf = p[3];
        insns[i].k = LoadBe32(p + 4);
    }
    return insns;
}

// bpf_validate passes some codes that bpf_filter does not interpret (it aborts on them): only the
// classic opcodes are taken.
bool KnownOpcode(uint16_t code) {
    static const uint16_t known[] = {
        0x00, 0x20, 0x28, 0x30, 0x40, 0x48, 0x50, 0x60, 0x80,              // ld
        0x01, 0x61, 0x81, 0xb1, 0x02, 0x03,                                // ldx, st, stx
        0x05, 0x15, 0x25, 0x35, 0x45, 0x1d, 0x2d, 0x3d, 0x4d,              // jumps
        0x04, 0x14, 0x24, 0x34, 0x44, 0x54, 0x64, 0x74, 0x84, 0x94, 0xa4,  // alu k
        0x0c, 0x1c, 0x2c, 0x3c, 0x4c, 0x5c, 0x6c, 0x7c, 0x9c, 0xac,        // alu x
        0x06, 0x16, 0x07, 0x87};                                           // ret, tax, txa
    for (uint16_t k : known) {
        if (code == k)
            return true;
    }
    return false;
}

bool Covers(uint8_t directions, int dirIndex) {
    return (directions & (dirIndex == 0 ? lt::kDirForward : lt::kDirBackward)) != 0;
}

uint64_t NowNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

void LivetraceFamily::Error(const std::string& text) {
    CFG_WARN("ozy-dpemu: livetrace: %1", text);
    errors_.push_back(text);
    if (errors_.size() > kKept)
        errors_.pop_front();
}

void LivetraceFamily::OnConnect(uint64_t conn) {
    ++connects_;
    CFG_INFO("ozy-dpemu: livetrace: agent connected (connection %1)", conn);
}

void LivetraceFamily::OnMessage(uint64_t, const uint8_t* msg, size_t size) {
    switch (CfgAgent::DpMsgType(msg)) {
        case lt::kMsgCreate:
            HandleCreate(msg, size);
            break;
        case lt::kMsgDelete:
            HandleDelete(msg, size);
            break;
        default:
            Error("unexpected message type " + std::to_string(CfgAgent::DpMsgType(msg)));
    }
}

void LivetraceFamily::HandleCreate(const uint8_t* msg, size_t size) {
    Session s;
    uint32_t slot = 0;
    uint32_t seen = 0;
    CfgAgent::DpTlvWalker walker = CfgAgent::DpTlvWalker::OverMessage(msg, size, 4);
    CfgAgent::DpTlv t;
    auto fixed = [&](size_t n, const char* what) {
        if (t.valueSize == n)
            return true;
        Error(std::string("CREATE: ") + what + " of " + std::to_string(t.valueSize) + " bytes");
        return false;
    };
    while (walker.Next(&t)) {
        if (t.type < lt::kTlvSlot || t.type > lt::kTlvFilter)
            return Error("CREATE: unexpected element " + std::to_string(t.type));
        uint32_t bit = 1u << t.type;
        if ((seen & bit) != 0 && t.type != lt::kTlvAction)
            return Error("CREATE: repeated element " + std::to_string(t.type));
        seen |= bit;
        const uint8_t* v = t.value;
        switch (t.type) {
            case lt::kTlvSlot:
                if (!fixed(1, "slot"))
                    return;
                slot = v[0];
                break;
            case lt::kTlvSessionId:
                if (!fixed(8, "session ID"))
                    return;
                s.id = LoadBe64(v);
                break;
            case lt::kTlvDvport:
            case lt::kTlvDvs: {
                if (!fixed(16, "UUID"))
                    return;
                auto& id = t.type == lt::kTlvDvport ? s.dvport : s.dvs;
                id = {LoadBe64(v), LoadBe64(v + 8)};
                break;
            }
            case lt::kTlvTimeout:
                if (!fixed(4, "timeout"))
                    return;
                s.timeout = LoadBe32(v);
                break;
            case lt::kTlvDirection:
                if (!fixed(1, "direction"))
                    return;
                if (v[0] < lt::kDirForward || v[0] > lt::kDirBoth)
                    return Error("CREATE: direction " + std::to_string(v[0]));
                s.direction = v[0];
                break;
            case lt::kTlvAction: {
                if (!fixed(lt::kActionSize, "action"))
                    return;
                Action a;
                a.kind = v[0];
                a.direction = v[1];
                a.sampling = v[2];
                a.firstN = LoadBe32(v + 4);
                a.snapLength = LoadBe32(v + 8);
                bool sampled = a.kind == lt::kActionTrace || a.kind == lt::kActionPktcap;
                if (a.kind < lt::kActionTrace || a.kind > lt::kActionDpStats || v[3] != 0 ||
                    a.direction < lt::kDirForward || a.direction > lt::kDirBoth ||
                    (sampled ? a.sampling != lt::kSamplingFirstN && a.sampling != lt::kSamplingAll
                             : a.sampling != lt::kSamplingNone) ||
                    (a.sampling == lt::kSamplingFirstN) != (a.firstN != 0) ||
                    (a.kind != lt::kActionPktcap && a.snapLength != 0))
                    return Error("CREATE: bad action " + HexText(v, lt::kActionSize));
                for (const Action& other : s.actions) {
                    if (other.kind == a.kind)
                        return Error("CREATE: action kind " + std::to_string(a.kind) + " twice");
                }
                if (s.actions.size() == 4)
                    return Error("CREATE: more than four actions");
                s.actions.push_back(a);
                break;
            }
            case lt::kTlvFilter:
                if (t.valueSize == 0 || t.valueSize % lt::kBpfInsnSize != 0 ||
                    t.valueSize / lt::kBpfInsnSize > lt::kMaxFilterInsns)
                    return Error("CREATE: filter of " + std::to_string(t.valueSize) + " bytes");
                s.filter.assign(v, v + t.valueSize);
                break;
        }
    }
    const uint32_t all = (1u << (lt::kTlvFilter + 1)) - 2;
    if (walker.Malformed() || seen != all)
        return Error("CREATE: element list malformed or incomplete");
    if (slot >= lt::kSlotCount)
        return Error("CREATE: slot " + std::to_string(slot));
    if (slots_.count(slot) != 0)
        return Error("CREATE: slot " + std::to_string(slot) + " is in use");
    std::vector<bpf_insn> insns = Instructions(s.filter);
    for (const bpf_insn& i : insns) {
        if (!KnownOpcode(i.code))
            return Error("CREATE: the filter uses opcode " + std::to_string(i.code));
    }
    if (bpf_validate(insns.data(), static_cast<int>(insns.size())) == 0)
        return Error("CREATE: the filter does not pass bpf_validate");
    CFG_INFO("ozy-dpemu: livetrace: session %1 in slot %2, %3 filter instructions", s.id, slot,
             insns.size());
    slots_[slot] = std::move(s);
}

void LivetraceFamily::HandleDelete(const uint8_t* msg, size_t size) {
    std::optional<uint32_t> slot;
    std::optional<uint64_t> id;
    CfgAgent::DpTlvWalker walker = CfgAgent::DpTlvWalker::OverMessage(msg, size, 4);
    CfgAgent::DpTlv t;
    while (walker.Next(&t)) {
        if (t.type == lt::kTlvSlot && t.valueSize == 1 && !slot)
            slot = t.value[0];
        else if (t.type == lt::kTlvSessionId && t.valueSize == 8 && !id)
            id = LoadBe64(t.value);
        else
            return Error("DELETE: unexpected, repeated or mis-sized element " +
                         std::to_string(t.type));
    }
    if (walker.Malformed() || !slot || !id)
        return Error("DELETE: element list malformed or incomplete");
    auto it = slots_.find(*slot);
    if (it == slots_.end() || it->second.id != *id)
        return Error("DELETE: no session " + std::to_string(*id) + " in slot " +
                     std::to_string(*slot));
    EndDirections(it->second, false, lt::kReasonDeleted);
    slots_.erase(it);
}

bool LivetraceFamily::SendAll(const std::vector<uint8_t>& msg) {
    bool any = false;
    for (uint64_t c : channel_->Connections())
        any = channel_->Send(c, msg) || any;
    return any;
}

// One message of `type`; above the threshold, its element list in FRAGMENT pieces.
bool LivetraceFamily::Send(uint16_t type, const std::vector<uint8_t>& body) {
    ++sentByType_[std::to_string(type)];
    if (4 + body.size() <= lt::kFragmentThreshold) {
        std::vector<uint8_t> m;
        DpBytesWriter(m).Be16(type).Be16(static_cast<uint16_t>(4 + body.size()));
        m.insert(m.end(), body.begin(), body.end());
        return SendAll(m);
    }
    uint32_t chain = nextChain_++;
    size_t count = (body.size() + lt::kFragmentPiece - 1) / lt::kFragmentPiece;
    bool withhold = fragDrops_ > 0;
    if (withhold)
        --fragDrops_;
    bool ok = true;
    for (size_t i = 0; i < count; ++i) {
        if (withhold && i + 1 == count)
            break;
        size_t offset = i * lt::kFragmentPiece;
        size_t piece = std::min(lt::kFragmentPiece, body.size() - offset);
        std::vector<uint8_t> m;
        DpBytesWriter w(m);
        w.Be16(lt::kMsgFragment)
            .Be16(static_cast<uint16_t>(4 + lt::kFragmentHeaderSize + piece))
            .Be32(chain)
            .Be16(static_cast<uint16_t>(i))
            .Be16(static_cast<uint16_t>(count))
            .Be16(type)
            .Be16(0)
            .Be32(static_cast<uint32_t>(offset))
            .Be32(static_cast<uint32_t>(body.size()))
            .Bytes(body.data() + offset, piece);
        ok = SendAll(m) && ok;
    }
    ++sentByType_["fragmented"];
    return ok;
}

bool LivetraceFamily::OfferFrame(uint32_t slot, const uint8_t* frame, size_t caplen, size_t wirelen,
                                 bool reverse, uint64_t timestampNs) {
    auto it = slots_.find(slot);
    if (it == slots_.end())
        return false;
    Session& s = it->second;
    int d = reverse ? 1 : 0;
    uint32_t packetId = s.nextPacketId++;
    s.stats[d].seen++;
    if (!Covers(s.direction, d))
        return false;
    std::vector<bpf_insn> insns = Instructions(s.filter);
    if (bpf_filter(insns.data(), frame, static_cast<u_int>(wirelen), static_cast<u_int>(caplen)) ==
        0)
        return false;
    s.stats[d].matched++;
    uint8_t dir = reverse ? lt::kDirBackward : lt::kDirForward;
    for (Action& a : s.actions) {
        if (!Covers(a.direction, d))
            continue;
        if (a.sampling == lt::kSamplingFirstN && a.taken >= a.firstN) {
            s.stats[d].sampledOut++;
            continue;
        }
        ++a.taken;
        std::vector<uint8_t> body;
        DpBytesWriter w(body);
        uint8_t idBytes[8];
        CfgAgent::StoreBe64(idBytes, s.id);
        w.Tlv(lt::kTlvSessionId, idBytes, 8);
        if (a.kind == lt::kActionTrace) {
            uint8_t pkt[4];
            CfgAgent::StoreBe32(pkt, packetId);
            w.Tlv(lt::kTlvDirection, &dir, 1).Tlv(lt::kTlvPktId, pkt, 4);
            // Seen leaving the source port, then delivered by the switch.
            const uint8_t steps[2][2] = {{lt::kObsForward, 1}, {lt::kObsDeliver, 1}};
            for (const auto& step : steps) {
                w.Be16(lt::kTlvObservation).Be16(4 + lt::kObservationSize);
                w.U8(step[0]).U8(step[1]).U8(0).U8(0).Be64(timestampNs);
                w.Be64(s.dvport[0]).Be64(s.dvport[1]);
            }
            Send(lt::kMsgTrace, body);
        } else if (a.kind == lt::kActionPktcap) {
            size_t snap = a.snapLength != 0 ? std::min<size_t>(a.snapLength, caplen) : caplen;
            snap = std::min(snap, size_t{0xFFFF} - 4 - 12 - 4 - lt::kPktMetaSize - 4);
            uint16_t flags = static_cast<uint16_t>(meta_.flags | (reverse ? lt::kPktReverse : 0));
            w.Be16(lt::kTlvPktMeta).Be16(4 + lt::kPktMetaSize);
            w.Be32(packetId).Be16(flags).Be16(meta_.vlan).Be32(meta_.vni);
            w.Be32(static_cast<uint32_t>(snap)).Be32(static_cast<uint32_t>(wirelen)).Be32(0);
            w.Be64(timestampNs);
            w.Tlv(lt::kTlvPktData, frame, snap);
            s.stats[d].captured++;
            Send(lt::kMsgPktcap, body);
        } else if (a.kind == lt::kActionCounter) {
            s.counts[d]++;
        }
    }
    return true;
}

void LivetraceFamily::SendCounters(Session& s, int d) {
    bool counters = false, stats = false;
    for (const Action& a : s.actions) {
        counters = counters || (a.kind == lt::kActionCounter && Covers(a.direction, d));
        stats = stats || (a.kind == lt::kActionDpStats && Covers(a.direction, d));
    }
    if (!counters && !stats)
        return;
    std::vector<uint8_t> body;
    DpBytesWriter w(body);
    uint8_t dir = d == 0 ? lt::kDirForward : lt::kDirBackward;
    w.Be16(lt::kTlvSessionId).Be16(12).Be64(s.id).Tlv(lt::kTlvDirection, &dir, 1);
    if (counters) {
        w.Be16(lt::kTlvCounterEntry).Be16(4 + lt::kCounterEntrySize);
        w.Be64(s.dvport[0]).Be64(s.dvport[1]);
        w.U8(d == 0 ? lt::kCheckpointVnicOutput : lt::kCheckpointVnicInput).U8(1).U8(1).U8(0);
        w.Be64(s.counts[d]);
    }
    if (stats) {
        const Stats& st = s.stats[d];
        w.Be16(lt::kTlvStats).Be16(4 + lt::kStatsSize);
        w.Be64(st.seen).Be64(st.matched).Be64(st.sampledOut).Be64(st.captured);
    }
    Send(lt::kMsgCounter, body);
}

void LivetraceFamily::EndDirections(Session& s, bool barrier, uint8_t reason) {
    for (int d = 0; d < 2; ++d) {
        if (!Covers(s.direction, d))
            continue;
        if (barrier)
            SendCounters(s, d);
        std::vector<uint8_t> body;
        DpBytesWriter w(body);
        uint8_t dir = d == 0 ? lt::kDirForward : lt::kDirBackward;
        w.Be16(lt::kTlvSessionId).Be16(12).Be64(s.id).Tlv(lt::kTlvDirection, &dir, 1);
        if (!barrier)
            w.Tlv(lt::kTlvReason, &reason, 1);
        Send(barrier ? lt::kMsgBarrier : lt::kMsgInvalidate, body);
    }
}

bool LivetraceFamily::ParseSlot(const std::string& text, uint32_t* slot, std::string* error) const {
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        *error = "not a slot number: " + text;
        return false;
    }
    *slot = static_cast<uint32_t>(std::stoul(text));
    if (slots_.count(*slot) == 0) {
        *error = "no session in slot " + text;
        return false;
    }
    return true;
}

CommandResult LivetraceFamily::Packet(const std::vector<std::string>& args) {
    uint32_t slot;
    std::string error;
    std::vector<uint8_t> frame;
    if (!ParseSlot(args[0], &slot, &error))
        return CommandResult::Error(error);
    if (!ParseHex(args[1], &frame) || frame.empty())
        return CommandResult::Error("not a frame in hex: " + args[1]);
    if (args.size() > 2 && args[2] != "rev")
        return CommandResult::Error("the third argument can only be rev");
    if (channel_->Connections().empty())
        return CommandResult::Error(kNotConnected);
    bool matched =
        OfferFrame(slot, frame.data(), frame.size(), frame.size(), args.size() > 2, NowNs());
    return CommandResult::Ok(matched ? "matched" : "not matched");
}

CommandResult LivetraceFamily::Pcap(const std::vector<std::string>& args) {
    uint32_t slot;
    std::string error;
    if (!ParseSlot(args[0], &slot, &error))
        return CommandResult::Error(error);
    if (channel_->Connections().empty())
        return CommandResult::Error(kNotConnected);
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline_with_tstamp_precision(args[1].c_str(), PCAP_TSTAMP_PRECISION_NANO,
                                                        errbuf);
    if (p == nullptr)
        return CommandResult::Error(std::string("cannot read ") + args[1] + ": " + errbuf);
    if (pcap_datalink(p) != DLT_EN10MB) {
        pcap_close(p);
        return CommandResult::Error("not an Ethernet capture: " + args[1]);
    }
    size_t packets = 0, matched = 0;
    pcap_pkthdr* h;
    const u_char* data;
    while (pcap_next_ex(p, &h, &data) == 1) {
        ++packets;
        uint64_t ts = static_cast<uint64_t>(h->ts.tv_sec) * 1000000000ull +
                      static_cast<uint64_t>(h->ts.tv_usec);  // nanoseconds at this precision
        matched += OfferFrame(slot, data, h->caplen, h->len, false, ts) ? 1 : 0;
    }
    pcap_close(p);
    return CommandResult::Ok(std::to_string(packets) + " packets, " + std::to_string(matched) +
                             " matched");
}

CommandResult LivetraceFamily::End(const std::vector<std::string>& args) {
    uint32_t slot;
    std::string error;
    if (!ParseSlot(args[0], &slot, &error))
        return CommandResult::Error(error);
    if (args[1] != "barrier" && args[1] != "invalidate")
        return CommandResult::Error("barrier or invalidate");
    int reason = lt::kReasonTimeout;
    if (args.size() > 2) {
        if (args[2].empty() || args[2].size() > 3 ||
            args[2].find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(args[2]) > 255)
            return CommandResult::Error("not a reason code: " + args[2]);
        reason = std::stoi(args[2]);
    }
    if (channel_->Connections().empty())
        return CommandResult::Error(kNotConnected);
    Session& s = slots_.at(slot);
    EndDirections(s, args[1] == "barrier", static_cast<uint8_t>(reason));
    ended_.push_back({{"slot", slot}, {"session_id", s.id}, {"end", args[1]}});
    if (ended_.size() > kKept)
        ended_.pop_front();
    slots_.erase(slot);
    return CommandResult::Ok("ended");
}

CommandResult LivetraceFamily::SetMeta(const std::vector<std::string>& args) {
    nlohmann::json j = nlohmann::json::parse(args[0], nullptr, false);
    if (!j.is_object())
        return CommandResult::Error("not a JSON object: " + args[0]);
    static const std::pair<const char*, uint16_t> bits[] = {
        {"tso", lt::kPktTso},
        {"csum", lt::kPktCsum},
        {"csum_verified", lt::kPktCsumVerified},
        {"encap", lt::kPktEncap},
        {"encap_csum_verified", lt::kPktEncapCsumVerified},
        {"inner", lt::kPktInnerTn}};
    Meta m;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const nlohmann::json& v = it.value();
        bool known = false;
        for (const auto& [key, bit] : bits) {
            if (it.key() != key)
                continue;
            known = true;
            if (!v.is_boolean())
                return CommandResult::Error(std::string("\"") + key + "\" takes true or false");
            if (v.get<bool>())
                m.flags |= bit;
        }
        if (known)
            continue;
        if ((it.key() == "vlan" || it.key() == "vni") && v.is_number_unsigned()) {
            uint64_t n = v.get<uint64_t>();
            if (it.key() == "vlan" && n <= 4095) {
                m.vlan = static_cast<uint16_t>(n);
                m.flags |= lt::kPktVlanValid;
                continue;
            }
            if (it.key() == "vni" && n <= 0xFFFFFF) {
                m.vni = static_cast<uint32_t>(n);
                m.flags |= lt::kPktVniValid;
                continue;
            }
        }
        return CommandResult::Error("unknown or out-of-range key \"" + it.key() + "\"");
    }
    meta_ = m;
    return CommandResult::Ok("meta set");
}

CommandResult LivetraceFamily::FragDrop(const std::vector<std::string>& args) {
    const std::string& n = args.empty() ? std::string("1") : args[0];
    if (n.empty() || n.size() > 4 || n.find_first_not_of("0123456789") != std::string::npos)
        return CommandResult::Error("not a count: " + n);
    fragDrops_ = std::stoul(n);
    return CommandResult::Ok("the next " + n + " fragmented messages lose their last piece");
}

CommandResult LivetraceFamily::Raw(const std::vector<std::string>& args) {
    std::vector<uint8_t> bytes;
    if (!ParseHex(args[0], &bytes) || bytes.size() < 4 ||
        CfgAgent::DpMsgLength(bytes.data()) != bytes.size())
        return CommandResult::Error("not a framed message in hex: " + args[0]);
    if (!SendAll(bytes))
        return CommandResult::Error(kNotConnected);
    return CommandResult::Ok("sent");
}

void LivetraceFamily::RegisterCommands(CommandTable& table) {
    table.Add("dpemu/livetrace-packet", "SLOT HEX [rev]", 2, 3,
              [this](const auto& a) { return Packet(a); });
    table.Add("dpemu/livetrace-pcap", "SLOT FILE", 2, 2, [this](const auto& a) { return Pcap(a); });
    table.Add("dpemu/livetrace-end", "SLOT barrier|invalidate [REASON]", 2, 3,
              [this](const auto& a) { return End(a); });
    table.Add("dpemu/livetrace-meta", "JSON", 1, 1, [this](const auto& a) { return SetMeta(a); });
    table.Add("dpemu/livetrace-frag-drop", "[N]", 0, 1,
              [this](const auto& a) { return FragDrop(a); });
    table.Add("dpemu/livetrace-raw", "HEX", 1, 1, [this](const auto& a) { return Raw(a); });
}

nlohmann::json LivetraceFamily::Dump() const {
    nlohmann::json slots = nlohmann::json::object();
    for (const auto& [slot, s] : slots_) {
        nlohmann::json actions = nlohmann::json::array();
        for (const Action& a : s.actions) {
            actions.push_back({{"kind", a.kind},
                               {"direction", a.direction},
                               {"sampling", a.sampling},
                               {"first_n", a.firstN},
                               {"snap_length", a.snapLength},
                               {"taken", a.taken}});
        }
        nlohmann::json stats = nlohmann::json::array();
        for (const Stats& st : s.stats) {
            stats.push_back({{"seen", st.seen},
                             {"matched", st.matched},
                             {"sampled_out", st.sampledOut},
                             {"captured", st.captured}});
        }
        slots[std::to_string(slot)] = {{"session_id", s.id},
                                       {"dvport", ozy::cairndb::UuidText(s.dvport[0], s.dvport[1])},
                                       {"dvs", ozy::cairndb::UuidText(s.dvs[0], s.dvs[1])},
                                       {"timeout", s.timeout},
                                       {"direction", s.direction},
                                       {"actions", actions},
                                       {"filter_insns", s.filter.size() / lt::kBpfInsnSize},
                                       {"filter", HexText(s.filter.data(), s.filter.size())},
                                       {"stats", stats}};
    }
    return {{"family", "livetrace"},
            {"endpoint", channel_ != nullptr ? channel_->Endpoint() : std::string()},
            {"connections", channel_ != nullptr ? channel_->Connections().size() : 0},
            {"connects", connects_},
            {"slots", slots},
            {"ended", ended_},
            {"sent", sentByType_},
            {"errors", errors_}};
}

}  // namespace ozy::dpemu
