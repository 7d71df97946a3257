// Registers as a person names them (by number or variable name, any case)
// and their values and ranges as text and as result values.
#pragma once

#include <string>
#include <string_view>

#include "damiao/registers.hpp"
#include "tool/result.hpp"

namespace velkarin::tool {

// "21", "0x15", "pmax" or "PMAX": the entry, or nullptr.
const damiao::RegisterInfo* find_register(std::string_view text);

// "(0, 3.4e38]", "[1, 4]", or "any finite value".
std::string range_text(const damiao::RegisterInfo& reg);

// The modes' names (modes::name_of) and numbers: what CTRL_MODE and the mode
// command take.
std::string mode_names();

// A register's value as a result: a CAN id for MST_ID and ESC_ID, an
// integer for another uint32 register, a 32-bit float for a float register.
Value value_of(const damiao::RegisterInfo& reg, const damiao::RegisterValue& v);

}  // namespace velkarin::tool
