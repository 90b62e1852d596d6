// SPDX-License-Identifier: GPL-2.0-or-later
#include "file_io.h"

#include "interrupt.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace unlzon {

namespace {

// Blocks from this size on are mapped straight from the kernel: they arrive
// zeroed, so nothing clears them a second time, and they can be backed by
// huge pages, which cuts the page faults of a large image by a factor of 512.
constexpr std::size_t HUGE_PAGE_SIZE = std::size_t{2} << 20;

// The kernel moves at most this much in one read or write call; larger
// transfers are split rather than trusted to a single call.
constexpr std::size_t MAX_IO_CHUNK = std::size_t{1} << 30;

unsigned char* map_zeroed(std::size_t length) {
#if defined(MAP_ANONYMOUS)
    void* const block =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        return nullptr;
    }
#if defined(MADV_HUGEPAGE)
    // Only advice: a kernel without transparent huge pages ignores it.
    (void)madvise(block, length, MADV_HUGEPAGE);
#endif
    return static_cast<unsigned char*>(block);
#else
    (void)length;
    return nullptr;
#endif
}

file_identity identity_of(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

std::optional<byte_buffer> byte_buffer::allocate(std::size_t size) {
    if (size >= HUGE_PAGE_SIZE && size <= SIZE_MAX - HUGE_PAGE_SIZE) {
        // A whole number of huge pages lets the kernel align the mapping to them.
        const std::size_t length = (size + HUGE_PAGE_SIZE - 1) / HUGE_PAGE_SIZE * HUGE_PAGE_SIZE;
        if (unsigned char* const block = map_zeroed(length)) {
            return byte_buffer(block, size, length);
        }
    }
    // calloc(0) may return null; one spare byte keeps data() valid and distinct.
    auto* const block = static_cast<unsigned char*>(std::calloc(size == 0 ? 1 : size, 1));
    if (block == nullptr) {
        return std::nullopt;
    }
    return byte_buffer(block, size, 0);
}

byte_buffer::byte_buffer(byte_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

byte_buffer& byte_buffer::operator=(byte_buffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

byte_buffer::~byte_buffer() {
    release();
}

void byte_buffer::release() noexcept {
    if (data_ == nullptr) {
        return;
    }
    if (mapped_ != 0) {
        (void)munmap(data_, mapped_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = 0;
}

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept {
    if (this != &other) {
        (void)close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

unique_fd::~unique_fd() {
    (void)close();
}

int unique_fd::close() {
    return is_open() ? ::close(std::exchange(fd_, -1)) : 0;
}

std::optional<input_file> input_file::open(const char* path) {
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.is_open()) {
        return std::nullopt;
    }
    // A directory or a pipe opens too, but it cannot be read by position.
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        return std::nullopt;
    }
    return input_file(std::move(fd), static_cast<std::uint64_t>(info.st_size), identity_of(info));
}

read_status input_file::read_at(std::uint64_t offset, void* dest, std::size_t count) const {
    auto* out = static_cast<unsigned char*>(dest);
    while (count > 0) {
        if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
            return read_status::end_of_file;
        }
        const std::size_t chunk = count < MAX_IO_CHUNK ? count : MAX_IO_CHUNK;
        const ssize_t got = pread(fd_.get(), out, chunk, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return read_status::error;
        }
        if (got == 0) {
            return read_status::end_of_file;
        }
        const auto n = static_cast<std::size_t>(got);
        out += n;
        count -= n;
        offset += n;
    }
    return read_status::ok;
}

std::optional<output_file> output_file::create(std::string path, file_identity keep) {
    // An interrupt between creating the file and arming its removal would
    // leave it behind; one before creating it must not remove an earlier file.
    const interrupt_blocker hold_interrupts;
    // Emptied only once it is known not to be `keep`: an output name that
    // links to the input must not destroy the input.
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    struct stat info {};
    if (!fd.is_open() || fstat(fd.get(), &info) != 0) {
        return std::nullopt;
    }
    const bool regular = S_ISREG(info.st_mode);
    if (regular && (identity_of(info) == keep || ftruncate(fd.get(), 0) != 0)) {
        return std::nullopt;
    }
    const bool armed = regular && arm_interrupt_cleanup(path.c_str());
    return output_file(std::move(fd), std::move(path), regular, armed);
}

output_file::output_file(output_file&& other) noexcept
    : fd_(std::move(other.fd_)),
      path_(std::move(other.path_)),
      regular_(std::exchange(other.regular_, false)),
      armed_(std::exchange(other.armed_, false)),
      committed_(std::exchange(other.committed_, true)) {}

output_file::~output_file() {
    (void)fd_.close();
    if (!committed_ && regular_) {
        (void)unlink(path_.c_str());
    }
    // Only now: an interrupt until the file is gone must still remove it.
    if (armed_) {
        disarm_interrupt_cleanup();
    }
}

bool output_file::write_and_commit(const void* data, std::size_t count) {
    const auto* in = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const std::size_t chunk = count < MAX_IO_CHUNK ? count : MAX_IO_CHUNK;
        const ssize_t put = ::write(fd_.get(), in, chunk);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (put == 0) {
            return false;
        }
        const auto n = static_cast<std::size_t>(put);
        in += n;
        count -= n;
    }
    // close() reports errors that a delayed write-back found (NFS, quotas).
    committed_ = fd_.close() == 0;
    if (committed_ && armed_) {
        disarm_interrupt_cleanup();
        armed_ = false;
    }
    return committed_;
}

}  // namespace unlzon
