// Motors for the scripted bus, by CAN id: each a register file answered on
// its MST_ID (a write takes effect at once, ids included, unless the register
// is `stubborn`), and the special commands answered with feedback there.
#pragma once

#include <bit>
#include <cstdint>
#include <map>

#include "damiao/registers.hpp"
#include "scripted_transport.hpp"

namespace velkarin::testing {

namespace registers = damiao::registers;

struct ScriptedMotors {
    std::map<std::uint16_t, std::map<std::uint8_t, std::uint32_t>> motors;
    std::map<std::uint16_t, std::uint8_t> status;  // by CAN id: 0 disabled, 1 enabled
    std::uint8_t stubborn = 0xFF;

    void add(std::uint16_t id, std::uint16_t master) {
        motors[id] = {{registers::ESC_ID, id},
                      {registers::MST_ID, master},
                      {registers::CTRL_MODE, 1},
                      {registers::PMAX, std::bit_cast<std::uint32_t>(12.5f)},
                      {registers::VMAX, std::bit_cast<std::uint32_t>(30.0f)},
                      {registers::TMAX, std::bit_cast<std::uint32_t>(10.0f)}};
    }

    void attach(ScriptedTransport& bus) {
        bus.on_send = [this](const CanFrame& f, ScriptedTransport& b) {
            if (f.id == CanId::standard(registers::kRequestId)) request(f, b);
            else special(f, b);
        };
    }

private:
    static std::uint8_t byte(std::uint32_t v, int i) { return static_cast<std::uint8_t>(v >> (8 * i)); }

    void request(const CanFrame& f, ScriptedTransport& b) {
        const auto d = f.data();
        const auto it = motors.find(static_cast<std::uint16_t>(d[0] | d[1] << 8));
        if (it == motors.end()) return;
        auto regs = it->second;
        if (d[2] == 0x55 && d[3] != stubborn) {
            regs[d[3]] = static_cast<std::uint32_t>(d[4] | d[5] << 8 | d[6] << 16 | d[7] << 24);
            motors.erase(it);
            motors[static_cast<std::uint16_t>(regs[registers::ESC_ID])] = regs;
            return;
        }
        if (d[2] != 0x33) return;
        const auto v = regs[d[3]];
        b.reply(classic(static_cast<std::uint16_t>(regs[registers::MST_ID]),
                        {d[0], d[1], 0x33, d[3], byte(v, 0), byte(v, 1), byte(v, 2), byte(v, 3)}));
    }

    // Enable (FC) and disable (FD) set the status; every one is answered.
    void special(const CanFrame& f, ScriptedTransport& b) {
        const auto it = motors.find(static_cast<std::uint16_t>(f.id.value));
        const auto d = f.data();
        if (it == motors.end() || d.size() != 8 || d[0] != 0xFF) return;
        auto& s = status[it->first];
        if (d[7] == 0xFC) s = 1;
        if (d[7] == 0xFD) s = 0;
        const auto id = static_cast<std::uint8_t>(it->first & 0xF);
        b.reply(classic(static_cast<std::uint16_t>(it->second[registers::MST_ID]),
                        {static_cast<std::uint8_t>(s << 4 | id), 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 30, 31}));
    }
};

}  // namespace velkarin::testing
