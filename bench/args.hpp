// args.hpp: the command line of the benchmark's native programs: options walked one by one,
// and a message naming the program ending it at the first bad one.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace bench {

[[noreturn]] inline void die(const char* prog, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", prog, what.c_str());
    std::exit(1);
}

// A whole number >= 0 in C syntax (decimal, 0x hex); anything else ends the program.
inline long number(const char* prog, const char* text, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < 0) die(prog, std::string("bad ") + what + ": " + text);
    return v;
}

// for (Args a(prog, argc, argv); a.next();) if (a.name() == "--x") x = a.value(); ...
class Args {
public:
    Args(const char* prog, int argc, char** argv) : prog_(prog), argc_(argc), argv_(argv) {}

    bool next() { return ++i_ < argc_; }
    std::string_view name() const { return argv_[i_]; }
    // The option's value, the next word; its absence ends the program.
    const char* value() {
        if (i_ + 1 >= argc_) die(prog_, std::string(name()) + " needs a value");
        return argv_[++i_];
    }
    long count() {
        const std::string what(name());
        return number(prog_, value(), what.c_str());
    }
    [[noreturn]] void unknown() const { die(prog_, "unknown argument " + std::string(name())); }

private:
    const char* prog_;
    int argc_;
    char** argv_;
    int i_ = 0;
};

}  // namespace bench
