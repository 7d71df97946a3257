// velkarin-sim: virtual Damiao motors on a SocketCAN interface.
#include <cstdio>
#include <string_view>
#include <vector>

#include "sim/args.hpp"
#include "sim/event_loop.hpp"

int main(int argc, char** argv) {
    using namespace velkarin::sim;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    auto options = parse_args(args);
    if (!options) {
        if (std::holds_alternative<HelpRequested>(options.error())) {
            std::fputs(usage().c_str(), stdout);
            return 0;
        }
        std::fprintf(stderr, "velkarin-sim: %s\ntry 'velkarin-sim --help'\n",
                     std::get<ArgError>(options.error()).message.c_str());
        return 2;
    }
    return run(*options);
}
