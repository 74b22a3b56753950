#pragma once
// BfdWantedSet: the references one logical switch wants, as BFDTableApp derives them before it
// compares them with the table. Each call of Pair adds the sessions of one family between a list
// of local and a list of remote VTEPs for one reference; Seal puts them in the table's order
// (BFDTable::ItemLess) with each (key, reference) once, the VNI of its last Pair kept.
//
// The set holds each reference once per Pair call (not once per session) and the sessions in one
// vector, so a switch of many sessions costs no allocation per session. What Items returns stays
// valid until the set changes or goes.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "apps/routing/BFDTable.h"

namespace CfgAgent {

class BfdWantedSet {
  public:
    struct Vtep {
        BfdAddress ip;
        uint32_t label = 0;
    };

    // Every (local, remote) of one family, keyed with their labels and `tnVgLabel` as a tunnel
    // session, wanted by `ref` with `vni`.
    void Pair(const std::vector<Vtep>& local, const std::vector<Vtep>& remote, uint32_t tnVgLabel,
              const BfdReference& ref, uint32_t vni);
    // Orders the sessions as BFDTable::ItemLess orders Items and keeps one of each (key,
    // reference): the one added last.
    void Seal();

    // After Seal: the sessions as the table's index holds its own (key, reference, VNI).
    const std::vector<BFDTable::Ref>& Items() const { return items_; }
    size_t size() const { return items_.size(); }

  private:
    struct Wanted {
        BfdSessionKey key;
        uint32_t vni = 0;
        const BfdReference* ref = nullptr;
    };

    std::deque<BfdReference> refs_;  // stable addresses for `wanted_`
    std::vector<Wanted> wanted_;
    std::vector<BFDTable::Ref> items_;
};

}  // namespace CfgAgent
