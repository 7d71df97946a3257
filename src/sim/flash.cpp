// The --flash file's text: one stored register per line, checked against the
// core's register table and the motors on the command line.
#include "sim/flash.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "damiao/text/can_id_text.hpp"
#include "damiao/text/parse.hpp"
#include "damiao/registers.hpp"

namespace velkarin::sim {

namespace registers = damiao::registers;

namespace {

constexpr std::size_t kMaxLineBytes = 64;
constexpr std::size_t kCommentBytes = 4096;

struct Entry {
    std::size_t motor;
    const damiao::RegisterInfo* reg;
    std::uint32_t raw;
};

// A value as the register reads it: a float register's bits and the float.
std::string shown(const damiao::RegisterInfo& reg, std::uint32_t raw) {
    char text[48];
    if (reg.kind == damiao::RegisterKind::Float)
        std::snprintf(text, sizeof text, "0x%08X (%g)", static_cast<unsigned>(raw),
                      static_cast<double>(std::bit_cast<float>(raw)));
    else
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(raw));
    return text;
}

// One line's three fields, each checked on its own.
std::expected<Entry, std::string> parse_line(std::span<const std::string_view> w,
                                             std::size_t motors) {
    if (w.size() != 3) return std::unexpected("expected MOTOR VARIABLE 0xRAW");
    const auto motor = damiao::parse::parse_uint(w[0]);
    if (!motor) return std::unexpected("motor '" + std::string(w[0]) + "' is not a number");
    if (*motor >= motors)
        return std::unexpected("motor " + std::to_string(*motor) + " is not given: " +
                               std::to_string(motors) + " --motor argument(s) count from 0");
    const auto* reg = registers::find_by_variable(w[1]);
    if (reg == nullptr) return std::unexpected("unknown register '" + std::string(w[1]) + "'");
    const std::string name(reg->variable);
    if (reg->access != damiao::RegisterAccess::ReadWrite)
        return std::unexpected(name + " is read-only: a store never keeps it");
    const auto raw = damiao::parse::parse_uint(w[2]);
    if (!raw || *raw > 0xFFFF'FFFF)
        return std::unexpected(name + " value '" + std::string(w[2]) + "' is not 32 bits");
    const auto value = static_cast<std::uint32_t>(*raw);
    if (!registers::raw_in_documented_range(*reg, value))
        return std::unexpected(name + " " + shown(*reg, value) +
                               " is outside its documented range");
    return Entry{static_cast<std::size_t>(*motor), reg, value};
}

}  // namespace

std::size_t max_flash_bytes(std::size_t motors) {
    const auto writable = std::ranges::count_if(registers::table(), [](const auto& r) {
        return r.access == damiao::RegisterAccess::ReadWrite;
    });
    return kCommentBytes + motors * static_cast<std::size_t>(writable) * kMaxLineBytes;
}

std::string format_flash(const Flash& flash) {
    std::string out = "# velkarin-sim flash: motor (index of its --motor), register, raw value\n";
    for (std::size_t motor = 0; motor < flash.size(); ++motor) {
        if (!flash[motor]) continue;
        for (const auto& [number, raw] : *flash[motor]) {
            char line[kMaxLineBytes];
            std::snprintf(line, sizeof line, "%zu %s 0x%08X\n", motor,
                          std::string(registers::find(number)->variable).c_str(),
                          static_cast<unsigned>(raw));
            out += line;
        }
    }
    return out;
}

std::expected<Flash, FlashError> parse_flash(std::string_view text,
                                             std::span<const std::uint16_t> can_ids) {
    Flash flash(can_ids.size());
    // Each motor's CAN id once the file is applied, and the line that gave
    // it (0: its --motor argument).
    std::vector<std::uint16_t> ids(can_ids.begin(), can_ids.end());
    std::vector<std::size_t> id_lines(can_ids.size(), 0);
    std::size_t line_no = 0;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        const auto line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++line_no;
        const auto words = damiao::parse::words(line);
        if (words.empty() || words.front().front() == '#') continue;
        const auto entry = parse_line(words, can_ids.size());
        if (!entry) return std::unexpected(FlashError{line_no, entry.error()});
        auto& image = flash[entry->motor];
        if (!image) image = FlashImage{};
        const auto number = entry->reg->number;
        if (std::ranges::find(*image, number, &FlashImage::value_type::first) != image->end())
            return std::unexpected(
                FlashError{line_no, std::string(entry->reg->variable) + " of motor " +
                                        std::to_string(entry->motor) + " is given twice"});
        image->emplace_back(number, entry->raw);
        if (number == registers::ESC_ID) {
            ids[entry->motor] = static_cast<std::uint16_t>(entry->raw);  // in range: 11 bits
            id_lines[entry->motor] = line_no;
        }
    }
    // Two motors on one CAN id would both act on every frame for it. The
    // --motor ids differ, so at least one of the two comes from a line.
    std::optional<FlashError> shared;
    for (std::size_t j = 0; j < ids.size(); ++j)
        for (std::size_t i = 0; i < j; ++i) {
            const auto line = std::max(id_lines[i], id_lines[j]);
            if (ids[i] != ids[j] || (shared && shared->line <= line)) continue;
            shared = FlashError{line, "motors " + std::to_string(i) + " and " + std::to_string(j) +
                                          " would both have CAN id " + damiao::can_id_text(ids[i])};
        }
    if (shared) return std::unexpected(std::move(*shared));
    for (auto& image : flash)
        if (image) std::ranges::sort(*image);
    return flash;
}

}  // namespace velkarin::sim
