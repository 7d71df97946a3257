// The --flash file on disk, owned by one simulator at a time: opened without
// blocking or following a final symbolic link, judged by the opened
// descriptor, read up to a bound, locked for the process's life and
// replaced durably at every store.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "transport/unique_fd.hpp"

namespace velkarin::sim {

// Why a store failed, as one line naming the file.
struct StoreError {
    std::string text;
    // The name already points at the new content (only syncing the directory
    // failed): the store took, though a power cut could still undo it.
    bool replaced;
};

class FlashFile {
public:
    // The file at `path`, locked, and its text. A file that does not exist
    // yet is created empty, so that there is a file to lock. Errors (one
    // line, naming the file): a directory, FIFO, device or other file that
    // is not regular; a symbolic link; more than `max_bytes`; locked by
    // another process; or a failed system call, such as creating the file in
    // a missing or read-only directory.
    static std::expected<FlashFile, std::string> open(std::string path, std::size_t max_bytes);

    // What the file held when it was opened.
    const std::string& text() const { return text_; }

    // Writes `text` to a new file beside this one, syncs it, renames it over
    // this one and syncs the directory. Before the rename any failure
    // removes the new file and leaves the old one as it was, still locked.
    std::expected<void, StoreError> store(std::string_view text);

private:
    FlashFile(std::string path, transport::UniqueFd held, std::string text)
        : path_(std::move(path)), held_(std::move(held)), text_(std::move(text)) {}

    std::string path_;
    // The file the name points to, with the lock on it (see flash_file.cpp).
    transport::UniqueFd held_;
    std::string text_;
};

}  // namespace velkarin::sim
