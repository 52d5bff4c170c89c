#include "platform/StandardDescriptors.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace velnor::platform {
namespace {

struct Standard {
    DWORD which;
    int descriptor;
    FILE* stream;
    DWORD access;
    int openFlags;
};

bool missing(HANDLE handle) noexcept {
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

// The C runtime marks a descriptor it found no handle for with -1, and -2 when the
// process has no console either.
bool missingDescriptor(int descriptor) noexcept {
    const std::intptr_t handle = ::_get_osfhandle(descriptor);
    return handle == -1 || handle == -2 || handle == 0;
}

// The runtime's descriptor first: giving it a handle also makes that the system's
// standard handle, which is then filled already.
bool fillDescriptor(const Standard& standard) noexcept {
    if (!missingDescriptor(standard.descriptor))
        return true;
    const int opened = ::_open("NUL", standard.openFlags | _O_BINARY);
    if (opened < 0)
        return false;
    if (opened == standard.descriptor)
        return true;
    const int moved = ::_dup2(opened, standard.descriptor);
    ::_close(opened);
    return moved == 0 && !missingDescriptor(standard.descriptor);
}

bool fillHandle(const Standard& standard) noexcept {
    if (!missing(::GetStdHandle(standard.which)))
        return true;
    // Inheritable, as a standard handle is. It stays open for the life of the process.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE nul = ::CreateFileW(L"NUL", standard.access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE)
        return false;
    if (::SetStdHandle(standard.which, nul))
        return true;
    ::CloseHandle(nul);
    return false;
}

} // namespace

// A process started without a console or with some standard handles left out has
// nothing behind them; everything written there would fail, and a handle opened later
// could be taken for one. Binary mode throughout: the server writes its own line ends,
// into pipes and files, and the runtime would otherwise turn every "\n" into "\r\n".
bool fillStandardDescriptors() noexcept {
    const Standard standards[] = {
        {STD_INPUT_HANDLE, 0, stdin, GENERIC_READ, _O_RDONLY},
        {STD_OUTPUT_HANDLE, 1, stdout, GENERIC_WRITE, _O_WRONLY},
        {STD_ERROR_HANDLE, 2, stderr, GENERIC_WRITE, _O_WRONLY},
    };
    bool filled = true;
    for (const Standard& standard : standards) {
        filled = fillDescriptor(standard) && fillHandle(standard) && filled;
        std::fflush(standard.stream);
        ::_setmode(standard.descriptor, _O_BINARY);
    }
    return filled;
}

} // namespace velnor::platform
