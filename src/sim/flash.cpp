// The --flash file: one stored register per line.
#include "sim/flash.hpp"

#include <cstdio>

#include "cli/text.hpp"
#include "damiao/registers.hpp"

namespace velkarin::sim {

namespace registers = damiao::registers;

std::string format_flash(const Flash& flash) {
    std::string out = "# velkarin-sim flash: motor (index of its --motor), register, raw value\n";
    for (std::size_t motor = 0; motor < flash.size(); ++motor) {
        if (!flash[motor]) continue;
        for (const auto& [number, raw] : *flash[motor]) {
            char line[64];
            std::snprintf(line, sizeof line, "%zu %s 0x%08X\n", motor,
                          std::string(registers::find(number)->variable).c_str(),
                          static_cast<unsigned>(raw));
            out += line;
        }
    }
    return out;
}

std::expected<Flash, std::string> parse_flash(std::string_view text) {
    Flash flash;
    std::size_t line_no = 0;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        const auto line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++line_no;
        if (line.empty() || line.front() == '#') continue;
        const auto w = cli::words(line);
        const auto motor = w.size() == 3 ? cli::parse_uint(w[0]) : std::nullopt;
        const auto* reg = w.size() == 3 ? registers::find_by_variable(w[1]) : nullptr;
        const auto raw = w.size() == 3 ? cli::parse_uint(w[2]) : std::nullopt;
        if (!motor || *motor > 0xFFFF || reg == nullptr || !raw || *raw > 0xFFFF'FFFF)
            return std::unexpected("line " + std::to_string(line_no) + ": expected MOTOR VARIABLE 0xRAW");
        if (flash.size() <= *motor) flash.resize(*motor + 1);
        if (!flash[*motor]) flash[*motor] = FlashImage{};
        flash[*motor]->emplace_back(reg->number, static_cast<std::uint32_t>(*raw));
    }
    return flash;
}

}  // namespace velkarin::sim
