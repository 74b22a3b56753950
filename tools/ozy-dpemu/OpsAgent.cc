#include "tools/ozy-dpemu/OpsAgent.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/util/json_util.h>

#include "cli/udslink/LcpFrameLayout.h"
#include "proto/lcp.pb.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/RecordingFamily.h"
#include "tools/ozy-dpemu/StreamClient.h"

namespace ozy::dpemu {

namespace lcpl = CfgAgent::lcp;

namespace {

std::unique_ptr<google::protobuf::Message> NewMessage(const std::string& typeName) {
    const google::protobuf::Descriptor* d =
        google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(typeName);
    if (d == nullptr)
        return nullptr;
    const google::protobuf::Message* prototype =
        google::protobuf::MessageFactory::generated_factory()->GetPrototype(d);
    return prototype != nullptr ? std::unique_ptr<google::protobuf::Message>(prototype->New())
                                : nullptr;
}

}  // namespace

long LcpFrameSize(const uint8_t* data, size_t size, std::string* error) {
    if (size < lcpl::kFrameHeaderSize)
        return 0;
    if ((data[0] & lcpl::kFragmentFlag) != 0 || (data[0] & lcpl::kReservedMask) != 0) {
        *error = "fragment or reserved bits set in byte 0 (" + std::to_string(data[0]) + ")";
        return -1;
    }
    if (data[1] != lcpl::kMsgTypeDpMsg) {
        *error = "message type " + std::to_string(data[1]) + ", expected 1";
        return -1;
    }
    uint64_t total = (static_cast<uint64_t>(data[2]) << 24) |
                     (static_cast<uint64_t>(data[3]) << 16) |
                     (static_cast<uint64_t>(data[4]) << 8) | data[5];
    if (total < lcpl::kFrameHeaderSize || total > lcpl::kMaxFrameSize) {
        *error = "total length " + std::to_string(total) + " outside 6.." +
                 std::to_string(lcpl::kMaxFrameSize);
        return -1;
    }
    return size >= total ? static_cast<long>(total) : 0;
}

OpsAgent::OpsAgent(EventLoop& loop)
    : client_(std::make_unique<StreamClient>(
          loop, lcpl::kLinkPath, LcpFrameSize,
          StreamClient::Callbacks{nullptr, [this](const uint8_t* f, size_t n) { OnFrame(f, n); },
                                  nullptr})) {}

OpsAgent::~OpsAgent() = default;

bool OpsAgent::Start() {
    return client_->Start();
}

void OpsAgent::Error(const std::string& text) {
    CFG_WARN("ozy-dpemu: opsagent: %1", text);
    errors_.push_back(text);
    if (errors_.size() > kKeptErrors)
        errors_.pop_front();
}

void OpsAgent::OnFrame(const uint8_t* frame, size_t size) {
    ++framesIn_;
    orvane::ozy::lcp::LcpDpMsg msg;
    if (!msg.ParseFromArray(frame + lcpl::kFrameHeaderSize,
                            static_cast<int>(size - lcpl::kFrameHeaderSize))) {
        Error("unparsable LcpDpMsg of " + std::to_string(size) + " bytes");
        return;
    }
    if (!msg.has_payload()) {
        Error("LcpDpMsg without a payload");
        return;
    }
    const std::string& url = msg.payload().type_url();
    std::string type = url.substr(url.rfind('/') + 1);
    std::unique_ptr<google::protobuf::Message> payload = NewMessage(type);
    if (!payload || !msg.payload().UnpackTo(payload.get())) {
        Error("payload of unknown or malformed type " + type);
        return;
    }
    std::string json;
    google::protobuf::util::JsonPrintOptions options;
    options.preserve_proto_field_names = true;
    (void)google::protobuf::util::MessageToJsonString(*payload, &json, options);
    ++byType_[type];
    messages_.push_back({{"type", type}, {"payload", nlohmann::json::parse(json, nullptr, false)}});
    if (messages_.size() > kKeptMessages)
        messages_.pop_front();
    CFG_DEBUG("ozy-dpemu: opsagent: received %1 (%2 bytes)", type, size);
}

CommandResult OpsAgent::SendPayload(const std::vector<std::string>& args) {
    std::unique_ptr<google::protobuf::Message> payload = NewMessage(args[0]);
    if (!payload)
        return CommandResult::Error("unknown message type \"" + args[0] + "\"");
    auto status = google::protobuf::util::JsonStringToMessage(args[1], payload.get());
    if (!status.ok())
        return CommandResult::Error("bad JSON for " + args[0] + ": " + status.ToString());
    orvane::ozy::lcp::LcpDpMsg msg;
    msg.mutable_payload()->PackFrom(*payload);
    std::string body = msg.SerializeAsString();
    std::vector<uint8_t> frame(lcpl::kFrameHeaderSize + body.size());
    uint32_t total = static_cast<uint32_t>(frame.size());
    frame[0] = 0;
    frame[1] = lcpl::kMsgTypeDpMsg;
    frame[2] = static_cast<uint8_t>(total >> 24);
    frame[3] = static_cast<uint8_t>(total >> 16);
    frame[4] = static_cast<uint8_t>(total >> 8);
    frame[5] = static_cast<uint8_t>(total);
    std::copy(body.begin(), body.end(), frame.begin() + lcpl::kFrameHeaderSize);
    if (!client_->Send(frame.data(), frame.size()))
        return CommandResult::Error("the agent's link is not connected");
    ++framesOut_;
    return CommandResult::Ok("sent " + std::to_string(total) + " bytes");
}

CommandResult OpsAgent::SendRaw(const std::vector<std::string>& args) {
    std::vector<uint8_t> bytes;
    if (!ParseHex(args[0], &bytes) || bytes.empty())
        return CommandResult::Error("not an even count of hex digits: " + args[0]);
    if (!client_->Send(bytes.data(), bytes.size()))
        return CommandResult::Error("the agent's link is not connected");
    ++framesOut_;
    return CommandResult::Ok("sent " + std::to_string(bytes.size()) + " bytes");
}

CommandResult OpsAgent::DropLink(const std::vector<std::string>&) {
    if (!client_->Drop())
        return CommandResult::Error("the agent's link is not connected");
    return CommandResult::Ok("dropped");
}

void OpsAgent::RegisterCommands(CommandTable& table) {
    table.Add("dpemu/opsagent-send", "TYPE JSON", 2, 2,
              [this](const auto& a) { return SendPayload(a); });
    table.Add("dpemu/opsagent-raw", "HEX", 1, 1, [this](const auto& a) { return SendRaw(a); });
    table.Add("dpemu/opsagent-drop", "", 0, 0, [this](const auto& a) { return DropLink(a); });
}

nlohmann::json OpsAgent::Dump() const {
    nlohmann::json types = nlohmann::json::object();
    for (const auto& [type, n] : byType_)
        types[type] = n;
    return {{"path", client_->LogicalPath()},  {"connected", client_->Connected()},
            {"connects", client_->Connects()}, {"frames_in", framesIn_},
            {"frames_out", framesOut_},        {"types", types},
            {"messages", messages_},           {"errors", errors_}};
}

}  // namespace ozy::dpemu
