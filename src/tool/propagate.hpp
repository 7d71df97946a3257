// The early return of a failed step, for any std::expected the tool passes on.
#pragma once

#include <expected>
#include <utility>

namespace velkarin::tool {

// `if (!r) return propagate(r);` hands r's error on unchanged.
template <typename T, typename E>
std::unexpected<E> propagate(std::expected<T, E>& r) {
    return std::unexpected(std::move(r.error()));
}

}  // namespace velkarin::tool
