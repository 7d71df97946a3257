// An RTM_GETLINK request for one interface and the attributes of its answer:
// flags, IFLA_LINKINFO's kind and, for CAN devices, IFLA_INFO_DATA's bit
// timing, state, error counters and restarts.
#include "transport/interface_facts.hpp"

#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cstring>

#include "transport/unique_fd.hpp"

namespace velkarin::transport {
namespace {

constexpr const char* kStates[] = {"error-active", "error-warning", "error-passive",
                                   "bus-off",      "stopped",       "sleeping"};

// Walks the attributes in [data, data + len), calling f(type, payload, size).
template <typename F>
void for_each_attribute(const std::uint8_t* data, std::size_t len, F&& f) {
    while (len >= sizeof(rtattr)) {
        rtattr a;
        std::memcpy(&a, data, sizeof a);
        if (a.rta_len < sizeof(rtattr) || a.rta_len > len) return;
        f(a.rta_type & NLA_TYPE_MASK, data + RTA_LENGTH(0), a.rta_len - RTA_LENGTH(0));
        const std::size_t step = RTA_ALIGN(a.rta_len);
        if (step >= len) return;
        data += step;
        len -= step;
    }
}

template <typename T>
std::optional<T> read_as(const std::uint8_t* p, std::size_t n) {
    if (n < sizeof(T)) return std::nullopt;
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void read_can_data(InterfaceFacts& f, const std::uint8_t* p, std::size_t n) {
    for_each_attribute(p, n, [&](unsigned type, const std::uint8_t* q, std::size_t m) {
        if (type == IFLA_CAN_BITTIMING) {
            if (auto bt = read_as<can_bittiming>(q, m)) f.bitrate = bt->bitrate;
        } else if (type == IFLA_CAN_DATA_BITTIMING) {
            if (auto bt = read_as<can_bittiming>(q, m); bt && bt->bitrate != 0) f.data_bitrate = bt->bitrate;
        } else if (type == IFLA_CAN_CTRLMODE) {
            if (auto mode = read_as<can_ctrlmode>(q, m)) f.fd = (mode->flags & CAN_CTRLMODE_FD) != 0;
        } else if (type == IFLA_CAN_STATE) {
            if (auto s = read_as<std::uint32_t>(q, m); s && *s < std::size(kStates)) f.state = kStates[*s];
        } else if (type == IFLA_CAN_BERR_COUNTER) {
            if (auto c = read_as<can_berr_counter>(q, m)) {
                f.tx_errors = c->txerr;
                f.rx_errors = c->rxerr;
            }
        }
    });
}

void read_link_info(InterfaceFacts& f, const std::uint8_t* p, std::size_t n) {
    for_each_attribute(p, n, [&](unsigned type, const std::uint8_t* q, std::size_t m) {
        if (type == IFLA_INFO_KIND) f.kind.assign(reinterpret_cast<const char*>(q), strnlen(reinterpret_cast<const char*>(q), m));
        else if (type == IFLA_INFO_DATA) read_can_data(f, q, m);
        else if (type == IFLA_INFO_XSTATS) {
            if (auto stats = read_as<can_device_stats>(q, m)) f.restarts = stats->restarts;
        }
    });
}

}  // namespace

InterfaceFacts interface_facts(std::string_view iface) {
    InterfaceFacts f;
    const std::string name(iface);
    const unsigned index = name.size() < IFNAMSIZ ? ::if_nametoindex(name.c_str()) : 0;
    if (index == 0) return f;
    f.exists = true;

    UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.valid()) return f;
    const timeval wait{1, 0};  // the kernel answers at once; never hang on it
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

    struct {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.info.ifi_family = AF_UNSPEC;
    request.info.ifi_index = static_cast<int>(index);
    if (::send(fd.get(), &request, sizeof request, 0) < 0) return f;

    alignas(nlmsghdr) std::array<std::uint8_t, 16384> buf{};
    const ssize_t got = ::recv(fd.get(), buf.data(), buf.size(), 0);
    if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(ifinfomsg)))) return f;
    nlmsghdr header;
    std::memcpy(&header, buf.data(), sizeof header);
    if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len > static_cast<std::size_t>(got)) return f;
    ifinfomsg info;
    std::memcpy(&info, buf.data() + NLMSG_LENGTH(0), sizeof info);
    f.up = (info.ifi_flags & IFF_UP) != 0;
    f.link_type = info.ifi_type;

    const std::size_t attrs = NLMSG_LENGTH(sizeof(ifinfomsg));
    for_each_attribute(buf.data() + NLMSG_ALIGN(attrs), header.nlmsg_len - NLMSG_ALIGN(attrs),
                       [&](unsigned type, const std::uint8_t* p, std::size_t n) {
                           if (type == IFLA_LINKINFO) read_link_info(f, p, n);
                       });
    return f;
}

bool is_can(const InterfaceFacts& f) { return !f.link_type || *f.link_type == ARPHRD_CAN; }

}  // namespace velkarin::transport
