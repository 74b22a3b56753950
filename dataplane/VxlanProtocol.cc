#include "dataplane/VxlanProtocol.h"

namespace CfgAgent::vxlan {

const char* MsgTypeName(uint16_t type) {
    switch (type) {
        case kMsgInit:
            return "Init";
        case kMsgConfigure:
            return "Configure";
        case kMsgVniMembership:
            return "VNI Membership Change";
        case kMsgLinkChange:
            return "Link Change";
        case kMsgUpdate:
            return "Update";
        case kMsgQuery:
            return "Query";
        case kMsgNotification:
            return "Notification";
        case kMsgVtepGroup:
            return "VTEP Group";
        case kMsgLsVtepGroupBinding:
            return "LS VTEP Group Binding";
        case kMsgRdVtepGroupBinding:
            return "RD VTEP Group Binding";
        case kMsgStateQuery:
            return "OutOfSync Query";
        case kMsgStateReport:
            return "OutOfSync Report";
        case kMsgSessionControl:
            return "L2 Mapping Session control";
        case kMsgRdMembership:
            return "Routing Domain Membership Change";
        case kMsgInstanceChange:
            return "Instance Change";
        case kMsgGlobalReplication:
            return "Global Replication Change";
        case kMsgTepAlarm:
            return "TEP Alarm";
        case kMsgControllerIp:
            return "Controller IP Update";
        default:
            return "unknown";
    }
}

const char* DataTypeName(uint16_t dataType) {
    switch (dataType) {
        case kDtVmIpv4:
            return "VM IP (v4) Update";
        case kDtVmIpv6:
            return "VM IP (v6) Update";
        case kDtVmMac:
            return "VM MAC Update";
        case kDtVtepMembership:
            return "VTEP Membership Update";
        case kDtArpv4:
            return "ARP (v4) Update";
        case kDtNdv6:
            return "ND (v6) Update";
        case kDtVif:
            return "VIF Update";
        case kDtRdVtepMembership:
            return "Routing Domain VTEP Membership Update";
        case kDtRdList:
            return "Routing Domain List Update";
        case kDtBfdSession:
            return "BFD Session Update";
        default:
            return "unknown";
    }
}

const char* ControlTypeName(uint8_t type) {
    switch (type) {
        case kSessionOpen:
            return "Open";
        case kSessionOpenAck:
            return "Open ACK";
        case kSessionFullSyncEnd:
            return "Full Sync End";
        default:
            return "unknown";
    }
}

const char* ConfigureItemName(uint16_t item) {
    switch (item) {
        case kCfgMaxMsgLength:
            return "max_msg_length";
        case kCfgFreqCtrlPeriod:
            return "freq_ctrl_period";
        case kCfgFreqCtrlQueryLimit:
            return "freq_ctrl_query_limit";
        case kCfgFreqCtrlUpdateLimit:
            return "freq_ctrl_update_limit";
        case kCfgBteAgeingTime:
            return "bte_ageing_time";
        case kCfgArpAgeingTime:
            return "arp_ageing_time";
        case kCfgBfd:
            return "bfd";
        case kCfgEvpnGlobalBfd:
            return "evpn_global_bfd";
        case kCfgMulticastProxy:
            return "multicast_proxy";
        case kCfgArpProxy:
            return "arp_proxy";
        case kCfgRoutingDomainId:
            return "routing_domain_id";
        case kCfgMacLimit:
            return "mac_limit";
        default:
            return "unknown";
    }
}

const char* EncapName(uint8_t encap) {
    switch (encap) {
        case kEncapVxlan:
            return "VXLAN";
        case kEncapGeneve:
            return "GENEVE";
        case kEncapStt:
            return "STT";
        default:
            return "unknown";
    }
}

const char* AlarmKindName(uint8_t kind) {
    switch (kind) {
        case kAlarmFault:
            return "fault";
        case kAlarmHaActive:
            return "ha-active";
        case kAlarmAutoRecovery:
            return "auto-recovery";
        default:
            return "unknown";
    }
}

const char* TepStateName(uint8_t state) {
    switch (state) {
        case kTepUp:
            return "UP";
        case kTepDown:
            return "DOWN";
        case kTepDegraded:
            return "DEGRADED";
        default:
            return "unknown";
    }
}

}  // namespace CfgAgent::vxlan
