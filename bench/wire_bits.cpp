// wire_bits: the bits and wire time of CAN frames, from the core's own computation
// (transport::frame_bits), for the benchmark's wire limits.
//
//   wire_bits --bitrate 1000000 [--dbitrate 5000000] < frames
//
// One frame per line of stdin in cansend's notation: ID#DATA for a classic frame, ID##F DATA
// for CAN FD with F the flags digit (1: bit-rate switch); an ID of 8 hex digits is extended.
// Prints one JSON object: the rates, every frame's nominal and data bits and its time in ns,
// and their sums.
#include <velkarin/transport/frame_bits.hpp>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "args.hpp"

namespace {

namespace vt = velkarin::transport;

constexpr const char* kProg = "wire_bits";

[[noreturn]] void die(const std::string& what) { bench::die(kProg, what); }

unsigned long hex_number(const std::string& text, const std::string& line) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0') die("bad frame '" + line + "'");
    return v;
}

vt::CanFrame parse_frame(const std::string& line) {
    const auto hash = line.find('#');
    if (hash == std::string::npos) die("bad frame '" + line + "': no #");
    const std::string id_text = line.substr(0, hash);
    const auto id = hex_number(id_text, line);
    std::string rest = line.substr(hash + 1);
    bool fd = false, brs = false;
    if (!rest.empty() && rest[0] == '#') {
        if (rest.size() < 2) die("bad frame '" + line + "': no flags after ##");
        fd = true;
        brs = (hex_number(rest.substr(1, 1), line) & 1u) != 0;
        rest = rest.substr(2);
    }
    if (rest.size() % 2 != 0) die("bad frame '" + line + "': odd number of hex digits");
    std::vector<std::uint8_t> data;
    for (std::size_t i = 0; i < rest.size(); i += 2)
        data.push_back(static_cast<std::uint8_t>(hex_number(rest.substr(i, 2), line)));
    // Out of range stays out of range, for frame_bits to refuse.
    const vt::CanId can_id{id_text.size() == 8 ? vt::CanId::Kind::Extended : vt::CanId::Kind::Standard,
                           id > 0xFFFF'FFFFul ? 0xFFFF'FFFFu : static_cast<std::uint32_t>(id)};
    return vt::CanFrame(can_id, data, fd, brs);
}

}  // namespace

int main(int argc, char** argv) {
    vt::BusRates rates{1'000'000, 0};
    for (bench::Args a(kProg, argc, argv); a.next();) {
        if (a.name() == "--bitrate") rates.nominal = static_cast<std::uint32_t>(a.count());
        else if (a.name() == "--dbitrate") rates.data = static_cast<std::uint32_t>(a.count());
        else a.unknown();
    }
    if (rates.nominal == 0) die("--bitrate must be above 0");
    std::printf("{\"bitrate\": %u, \"dbitrate\": %u, \"frames\": [", rates.nominal, rates.data);
    std::uint64_t bits = 0, ns = 0;
    const char* sep = "";
    for (std::string line; std::getline(std::cin, line);) {
        if (line.empty()) continue;
        const auto counted = vt::frame_bits(parse_frame(line));
        if (!counted) die("'" + line + "' is no frame a bus carries");
        const auto t = vt::wire_time(*counted, rates).count();
        std::printf("%s{\"frame\": \"%s\", \"nominal_bits\": %u, \"data_bits\": %u, \"ns\": %lld}", sep,
                    line.c_str(), counted->nominal, counted->data, static_cast<long long>(t));
        sep = ", ";
        bits += counted->total();
        ns += static_cast<std::uint64_t>(t);
    }
    std::printf("], \"bits\": %llu, \"ns\": %llu}\n", static_cast<unsigned long long>(bits),
                static_cast<unsigned long long>(ns));
    return 0;
}
