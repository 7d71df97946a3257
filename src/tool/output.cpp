// Writes checked at every step: fwrite, fflush and fclose each report the
// errno of a failure, which is kept for the one-line message.
#include "tool/output.hpp"

#include <poll.h>

#include <cerrno>
#include <cstring>

namespace velkarin::tool {

ToolResult<Output> Output::create(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return fail(Failure::Kind::Output, "cannot open " + path + ": " + std::strerror(errno));
    Output out(f, path);
    out.owned_ = true;
    return out;
}

Output::Output(Output&& other) noexcept
    : stream_(other.stream_), name_(std::move(other.name_)), owned_(other.owned_), error_(other.error_) {
    other.stream_ = nullptr;
    other.owned_ = false;
}

Output::~Output() {
    if (owned_ && stream_ != nullptr) std::fclose(stream_);
}

bool Output::failed_with(int e) {
    if (!error_) error_ = e != 0 ? e : EIO;
    return false;
}

bool Output::write(std::string_view text) {
    if (error_ || stream_ == nullptr) return false;
    if (text.empty()) return true;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size()) return failed_with(errno);
    return true;
}

bool Output::flush() {
    if (error_ || stream_ == nullptr) return false;
    errno = 0;
    if (std::fflush(stream_) != 0) return failed_with(errno);
    return true;
}

bool Output::close() {
    if (stream_ == nullptr) return !error_;
    const bool flushed = flush();
    errno = 0;
    const int rc = std::fclose(stream_);
    stream_ = nullptr;
    owned_ = false;
    if (rc != 0 && flushed) return failed_with(errno);
    return flushed;
}

bool Output::reader_gone() {
    if (error_ == EPIPE) return true;
    if (stream_ == nullptr) return false;
    // A pipe whose reader closed polls POLLERR; a hung-up terminal POLLHUP.
    pollfd p{::fileno(stream_), POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

Failure Output::failure() const {
    return {Failure::Kind::Output,
            "writing to " + name_ + " failed: " + std::strerror(error_.value_or(EIO)), std::nullopt};
}

}  // namespace velkarin::tool
