// A CAN identifier as it is usually written, for every message that names
// one: "0x011".
#pragma once

#include <cstdint>
#include <string>

namespace velkarin::damiao {

// Three upper-case hex digits at least: "0x001", "0x7FF".
std::string can_id_text(std::uint16_t id);

}  // namespace velkarin::damiao
