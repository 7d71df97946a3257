// Where the tool's text goes (stdout, stderr, a CSV file), with the first
// failed write kept with its errno, so that a full disk or a closed pipe is
// reported instead of lost in a stdio buffer.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "tool/failure.hpp"

namespace velkarin::tool {

class Output {
public:
    // A stream the program does not own (stdout, stderr), named for messages.
    Output(std::FILE* stream, std::string name) : stream_(stream), name_(std::move(name)) {}
    // Creates or truncates the file at `path`. Errors: Output.
    static ToolResult<Output> create(const std::string& path);

    Output(Output&& other) noexcept;
    Output& operator=(Output&&) = delete;
    Output(const Output&) = delete;
    ~Output();  // closes an owned file; close() first to learn whether that worked

    // Writes all of `text`; false once a write on this stream has failed.
    bool write(std::string_view text);
    // Hands the buffered text to the kernel; false once a write has failed.
    bool flush();
    // flush, then closes the stream (an owned file, or stdout at exit): a
    // file system may report a failed write only here. False once one failed.
    bool close();

    // The errno of the first failed write, if any.
    std::optional<int> error() const { return error_; }
    // Whether the reader of this pipe or terminal has gone (EPIPE written, or
    // the descriptor polls as hung up): nothing written now reaches anyone.
    bool reader_gone();
    // "writing to stdout failed: No space left on device" (kind Output).
    Failure failure() const;

private:
    bool failed_with(int e);

    std::FILE* stream_;
    std::string name_;
    bool owned_ = false;
    std::optional<int> error_;
};

}  // namespace velkarin::tool
