#include "damiao/text/can_id_text.hpp"

#include <array>
#include <cstdio>

namespace velkarin::damiao {

std::string can_id_text(std::uint16_t id) {
    std::array<char, 8> buf{};
    std::snprintf(buf.data(), buf.size(), "0x%03X", static_cast<unsigned>(id));
    return buf.data();
}

}  // namespace velkarin::damiao
