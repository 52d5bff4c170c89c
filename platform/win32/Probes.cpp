#include "platform/Probes.h"

#include "platform/HeapBlock.h"
#include "platform/Socket.h"
#include "platform/Utf.h"

#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velnor::platform {
namespace {

// The probe's trial files take this many attempts at a fresh name before giving up.
constexpr int kNameAttempts = 16;
// Room for the directory, a separator and the trial file's name.
constexpr std::size_t kTrialNameRoom = 48;

class OwnedSocket {
public:
    explicit OwnedSocket(SocketHandle socket) noexcept : socket_(socket) {}
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    ~OwnedSocket() {
        if (socket_ != kNoSocket)
            socketClose(socket_);
    }
    SocketHandle get() const noexcept { return socket_; }

private:
    SocketHandle socket_;
};

class OwnedFile {
public:
    explicit OwnedFile(HANDLE handle) noexcept : handle_(handle) {}
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;
    ~OwnedFile() {
        if (handle_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle_);
    }
    bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

ListenProbe probeListen(std::uint16_t port, const std::uint8_t (&address)[4]) noexcept {
    if (!startSockets())
        return ListenProbe::Failed;
    OwnedSocket socket(socketCreate());
    if (socket.get() == kNoSocket)
        return ListenProbe::Failed;
    // The same options and backlog-independent calls as the listener, so that the answer
    // is the one the server would get.
    if (socketBindListen(socket.get(), port, 1, address) == 0)
        return ListenProbe::Free;
    switch (::WSAGetLastError()) {
    case WSAEADDRINUSE:
        return ListenProbe::InUse;
    case WSAEACCES:
        // No port is privileged here; this is a port the system keeps from programs
        // (an excluded range) or holds for a service.
        return ListenProbe::NotPermitted;
    case WSAEADDRNOTAVAIL:
        return ListenProbe::NotLocal;
    default:
        return ListenProbe::Failed;
    }
}

bool mayWrite(const char* osPath) noexcept {
    if (osPath == nullptr)
        return false;
    const HeapPtr<char16_t> wide = wideFromUtf8(osPath);
    if (!wide)
        return false;
    // Opening for writing, without changing anything, is the one answer that takes in
    // the file's access list, its read-only mark and the volume's.
    OwnedFile file(::CreateFileW(reinterpret_cast<const wchar_t*>(wide.get()), GENERIC_WRITE,
                                 kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    return file.valid();
}

bool mayWriteDirectory(const char* osPath) noexcept {
    // An empty path names no directory (and would put the trial file in the root).
    if (osPath == nullptr || *osPath == '\0')
        return false;
    // A trial file is created and deleted in the directory: creating needs the right to
    // add files and deleting it on close the right a rename also needs.
    static std::atomic<unsigned> trials{0};
    const std::size_t length = std::strlen(osPath);
    const HeapPtr<char> name(static_cast<char*>(std::malloc(length + kTrialNameRoom)));
    if (!name)
        return false;
    const bool endsInSeparator =
        length > 0 && (osPath[length - 1] == '\\' || osPath[length - 1] == '/');
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::snprintf(name.get(), length + kTrialNameRoom, "%s%s.probe-%lu-%u.tmp", osPath,
                      endsInSeparator ? "" : "\\", ::GetCurrentProcessId(),
                      trials.fetch_add(1, std::memory_order_relaxed));
        const HeapPtr<char16_t> wide = wideFromUtf8(name.get());
        if (!wide)
            return false;
        OwnedFile file(::CreateFileW(
            reinterpret_cast<const wchar_t*>(wide.get()), GENERIC_WRITE | DELETE, kShareAll,
            nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (file.valid())
            return true;
        if (::GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

} // namespace velnor::platform
