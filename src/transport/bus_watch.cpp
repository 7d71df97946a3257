#include "transport/bus_watch.hpp"

#include <net/if.h>

#include <array>

namespace velkarin::transport {

BusWatch::BusWatch(int can_socket) {
    const auto index = interface_index_of(can_socket);
    if (!index) return;
    std::array<char, IF_NAMESIZE> name{};
    if (::if_indextoname(static_cast<unsigned>(*index), name.data()) != nullptr) iface_ = name.data();
    if (auto l = BusListener::open(*index)) listener_.emplace(std::move(*l));
}

BusConditions BusWatch::look() {
    if (!listener_) return {};
    return listener_->drain(counts_);
}

BusHealth BusWatch::health() {
    look();
    const InterfaceFacts facts = interface_facts(iface_);
    return BusHealth{iface_, facts.state.value_or("unknown"), facts.tx_errors, facts.rx_errors,
                     facts.restarts, counts_};
}

}  // namespace velkarin::transport
