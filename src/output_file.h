// SPDX-License-Identifier: GPL-2.0-or-later
// The output's life: a pending file that becomes the image under its final
// name in one atomic step, or disappears without a trace.
//
// The image is written into a new file in the output's own folder, unnamed
// where the system allows it, otherwise under an exclusive, unpredictable
// temporary name beside the output. Only once every byte is written and the
// file is closed without error does it take the output name, replacing
// whatever stood there (a file, a link, a FIFO, a device node) without ever
// opening or writing through it. Until then the output name keeps what it
// held, whatever happens to the run; nothing that is not this run's own file
// is ever removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "folder.h"
#include "input_file.h"
#include "native_file.h"

namespace unlzon {

enum class output_status {
    ok,
    cannot_create,  // the folder refuses a new file, or the output name cannot be given
                    // (a folder or the demo itself stands there)
    cannot_write,   // the data could not be put on disk (full disk, I/O error, size limit)
};

/// A file on its way to the output name; discarded when destroyed unless
/// committed. Move-only.
class pending_output {
  public:
    /// Start an empty pending file for the output `name` in `folder`, for an
    /// image made from the demo `origin`: it gets the demo's permission bits
    /// under the umask, and the demo's group where the system allows it, or
    /// else no group access at all. nullopt if the folder refuses it or a
    /// folder stands at `name`. `folder` must outlive the pending output.
    static std::optional<pending_output> create(const demo_folder& folder, const std::string& name,
                                                const file_origin& origin);

    pending_output(pending_output&& other) noexcept;
    pending_output& operator=(pending_output&&) = delete;
    pending_output(const pending_output&) = delete;
    pending_output& operator=(const pending_output&) = delete;
    /// Discards the file unless it was committed.
    ~pending_output();

    /// Append the `count` bytes at `data` to the file: ok, or cannot_write
    /// if they could not all be written (full disk, I/O error, size limit).
    output_status write(const unsigned char* data, std::size_t count);

    /// Make the file `size` bytes long (no less than it holds): the bytes past
    /// what was written read as zeros and take no space where the file system
    /// has holes. ok, or cannot_write if the file system refuses (full disk,
    /// size limit).
    output_status extend_to(std::uint64_t size);

    /// Close the file and give it the output name, replacing whatever stood
    /// there, unless that is the demo itself. On failure the file is
    /// discarded and the output name keeps what it held.
    output_status commit();

  private:
    pending_output(const demo_folder& folder, native_file file, std::string name,
                   std::string temp_name, const file_origin& origin, bool append_only)
        : folder_(&folder),
          file_(std::move(file)),
          name_(std::move(name)),
          temp_name_(std::move(temp_name)),
          origin_(origin),
          append_only_(append_only) {}
    static std::optional<pending_output> create_in_folder(const demo_folder& folder,
                                                          const std::string& name,
                                                          const file_origin& origin,
                                                          bool allow_unnamed);
    void discard() noexcept;

    const demo_folder* folder_;  // the output's folder, so that every step stays in it
    native_file file_;           // the pending file, open for writing
    std::string name_;           // the output's name within the folder
    std::string temp_name_;      // empty while the pending file has no name
    file_origin origin_;         // the demo, which the image must never replace
    bool append_only_ = false;   // the folder lets names be added, never removed
    bool committed_ = false;
    friend struct test_access;
};

}  // namespace unlzon
