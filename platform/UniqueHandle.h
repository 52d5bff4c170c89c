// The system's names for open things, and a move-only owner of one.
//
// A descriptor here and a HANDLE or SOCKET on Windows all fit in a pointer-sized integer,
// and -1 means "none" on both (INVALID_HANDLE_VALUE and INVALID_SOCKET are all ones), so
// the code above the platform holds these types and never the system's own.
#pragma once

#include <cstdint>
#include <utility>

namespace velnor::platform {

using NativeHandle = std::intptr_t; // an open file, pipe or other kernel object
using SocketHandle = std::intptr_t; // a socket, or anything a socket wait can also watch
constexpr NativeHandle kNoHandle = -1;
constexpr SocketHandle kNoSocket = -1;

void closeHandle(NativeHandle handle) noexcept;

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(NativeHandle handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    NativeHandle get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != kNoHandle; }
    explicit operator bool() const noexcept { return valid(); }
    NativeHandle release() noexcept { return std::exchange(handle_, kNoHandle); }
    void reset(NativeHandle handle = kNoHandle) noexcept {
        if (handle_ != kNoHandle)
            closeHandle(handle_);
        handle_ = handle;
    }

private:
    NativeHandle handle_ = kNoHandle;
};

} // namespace velnor::platform
