#include "intake/PendingBatch.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "intake/Decoder.h"

namespace CfgAgent {

CairnDBUpdateList& PendingBatch::ChunkFor(Lane& lane, size_t n) {
    if (lane.chunks.empty()) {
        // A delta's few records: the first chunk grows as they come.
        lane.chunks.emplace_back();
    } else if (lane.chunks.back().size() + n > kChunkRecords) {
        lane.chunks.emplace_back();
        lane.chunks.back().reserve(std::max(n, kChunkRecords));
    }
    return lane.chunks.back();
}

void PendingBatch::File(DecodeResult& result) {
    result.FileEach([this](ComponentType comp, CairnDBUpdateList& records, bool last) {
        Lane& lane = lanes_[comp];
        if (records.empty()) {
            return;
        }
        CairnDBUpdateList& chunk = ChunkFor(lane, records.size());
        if (last) {
            chunk.insert(chunk.end(), std::make_move_iterator(records.begin()),
                         std::make_move_iterator(records.end()));
        } else {
            chunk.insert(chunk.end(), records.begin(), records.end());
        }
        lane.records += records.size();
    });
}

void PendingBatch::Add(ComponentType component, const CairnDBUpdateList& records) {
    if (component == ComponentType::NONE) {
        return;
    }
    Lane& lane = lanes_[component];
    if (records.empty()) {
        return;
    }
    CairnDBUpdateList& chunk = ChunkFor(lane, records.size());
    chunk.insert(chunk.end(), records.begin(), records.end());
    lane.records += records.size();
}

void PendingBatch::Touch(ComponentType component) {
    lanes_[component];
}

CairnDBUpdateList PendingBatch::Drain(Lane& lane) {
    CairnDBUpdateList list;
    if (lane.chunks.size() == 1 && lane.chunks.front().size() == lane.chunks.front().capacity()) {
        list = std::move(lane.chunks.front());
    } else {
        list.reserve(lane.records);
        for (CairnDBUpdateList& chunk : lane.chunks) {
            list.insert(list.end(), std::make_move_iterator(chunk.begin()),
                        std::make_move_iterator(chunk.end()));
            // Freed now, not with the rest: the list and every chunk are never held together.
            CairnDBUpdateList().swap(chunk);
        }
    }
    lane.chunks.clear();
    lane.records = 0;
    return list;
}

ComponentUpdateMap PendingBatch::Take() {
    ComponentUpdateMap out;
    for (auto& [comp, lane] : lanes_)
        out[comp] = Drain(lane);
    lanes_.clear();
    return out;
}

CairnDBUpdateList PendingBatch::TakeLane(ComponentType component) {
    auto it = lanes_.find(component);
    return it == lanes_.end() ? CairnDBUpdateList() : Drain(it->second);
}

size_t PendingBatch::LaneRecords(ComponentType component) const {
    auto it = lanes_.find(component);
    return it == lanes_.end() ? 0 : it->second.records;
}

size_t PendingBatch::RecordCount() const {
    size_t n = 0;
    for (const auto& [comp, lane] : lanes_) {
        n += lane.records;
    }
    return n;
}

size_t PendingBatch::ChunkCount(ComponentType component) const {
    auto it = lanes_.find(component);
    return it == lanes_.end() ? 0 : it->second.chunks.size();
}

}  // namespace CfgAgent
