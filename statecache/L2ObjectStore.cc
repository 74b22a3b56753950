#include "statecache/L2ObjectStore.h"

#include "statecache/MemoryEstimate.h"

namespace CfgAgent::sc {

L2Object* L2ObjectStore::Find(ObjectType type, std::string_view id) {
    auto t = types_.find(type);
    if (t == types_.end())
        return nullptr;
    auto it = t->second.find(CompactBytes(id));
    return it == t->second.end() ? nullptr : &it->second;
}

const L2Object* L2ObjectStore::Find(ObjectType type, std::string_view id) const {
    auto t = types_.find(type);
    if (t == types_.end())
        return nullptr;
    auto it = t->second.find(CompactBytes(id));
    return it == t->second.end() ? nullptr : &it->second;
}

L2Object& L2ObjectStore::GetOrCreate(ObjectType type, std::string_view id, bool* created) {
    auto [it, inserted] = types_[type].try_emplace(CompactBytes(id));
    if (inserted)
        it->second.version = version_;
    *created = inserted;
    return it->second;
}

bool L2ObjectStore::Erase(ObjectType type, std::string_view id) {
    auto t = types_.find(type);
    if (t == types_.end())
        return false;
    bool erased = t->second.erase(CompactBytes(id)) > 0;
    if (t->second.empty())
        types_.erase(t);
    return erased;
}

bool L2ObjectStore::EraseAllTypes(std::string_view id) {
    bool erased = false;
    CompactBytes key(id);
    for (auto t = types_.begin(); t != types_.end();) {
        erased |= t->second.erase(key) > 0;
        t = t->second.empty() ? types_.erase(t) : std::next(t);
    }
    return erased;
}

size_t L2ObjectStore::Sweep(SweepObserver* observer) {
    size_t removed = 0;
    for (auto t = types_.begin(); t != types_.end();) {
        for (auto it = t->second.begin(); it != t->second.end();) {
            L2Object& o = it->second;
            if (o.version < version_) {
                if (observer)
                    observer->ObjectRemoved(t->first, it->first.view());
                removed += o.EntryCount() + 1;
                it = t->second.erase(it);
                continue;
            }
            for (size_t p = 0; p < o.props.size(); ++p) {
                L2EntryMap& m = o.props[p];
                for (auto e = m.begin(); e != m.end();) {
                    if (e->second.version < version_) {
                        if (observer) {
                            observer->EntryRemoved(
                                t->first, it->first.view(),
                                static_cast<PropertyType>(
                                    static_cast<uint32_t>(PropertyType::L2_VM_IP) + p),
                                e->second);
                        }
                        e = m.erase(e);
                        ++removed;
                    } else {
                        ++e;
                    }
                }
            }
            ++it;
        }
        t = t->second.empty() ? types_.erase(t) : std::next(t);
    }
    return removed;
}

size_t L2ObjectStore::ObjectCount() const {
    size_t n = 0;
    for (const auto& [type, objects] : types_)
        n += objects.size();
    return n;
}

size_t L2ObjectStore::EntryCount() const {
    size_t n = 0;
    for (const auto& [type, objects] : types_) {
        for (const auto& [id, o] : objects)
            n += o.EntryCount();
    }
    return n;
}

size_t L2ObjectStore::ComputeBytes() const {
    size_t bytes = ContainerBytes(types_);
    for (const auto& [type, objects] : types_) {
        bytes += ContainerBytes(objects);
        for (const auto& [id, o] : objects) {
            bytes += HeapChunk(id.heapBytes());
            for (const L2EntryMap& m : o.props) {
                bytes += ContainerBytes(m);
                for (const auto& [key, e] : m)
                    bytes += HeapChunk(e.body.heapBytes());
            }
        }
    }
    return bytes;
}

}  // namespace CfgAgent::sc
