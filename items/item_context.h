#pragma once
// The item layer's reader state of one open file: the storage layer's context and the
// named-property map read from it.
#include <memory>
#include <utility>

#include "storage/pst_context.h"

namespace kestrel {

class NamedPropertyMap;

struct ItemContext {
    explicit ItemContext(PstContext& storageContext,
                         std::shared_ptr<const NamedPropertyMap> map = nullptr)
        : storage(storageContext), namedProps(std::move(map)) {}

    PstContext& storage;
    std::shared_ptr<const NamedPropertyMap> namedProps;  // null until one is loaded

    bool Stopped() const { return storage.Stopped(); }
    PstVariant variant() const { return storage.variant; }
};

}  // namespace kestrel
