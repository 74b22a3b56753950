#pragma once
// What the KCP senders (KCPMsgConvertor, DVSPropConvertor, IpDiscovery) need of ConfigApp: one
// operation that puts a framed KCP message on the configuration application's kernel link.
#include "dataplane/DpFraming.h"

namespace CfgAgent {

class IConfigApp {
  public:
    virtual ~IConfigApp() = default;
    // Sends one KCP message; the link reads its length from bytes 2-3. The message is consumed in
    // every case; false when it could not be queued.
    virtual bool SendKcpMessage(DpMsg msg) = 0;
};

}  // namespace CfgAgent
