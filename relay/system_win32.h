// Small helpers for the Windows files of every folder: the system's error codes as the errno
// values that the rest of the program reports and words (strerror), so that one reason reads the
// same on both platforms; and the program's UTF-8 text as the system's UTF-16 and back.
#pragma once

#include <windows.h>

#include <cerrno>
#include <string>

inline int errnoFromWindowsError(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS: return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT: return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER: return EINVAL;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA: return EPIPE;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        default: return EIO;
    }
}

// The calling thread's last Windows error as errno.
inline int lastErrno() { return errnoFromWindowsError(GetLastError()); }

// A Winsock error (WSAGetLastError, a network event's error code) as errno.
inline int errnoFromSocketError(int error) {
    switch (error) {
        case 0: return 0;
        case WSAEWOULDBLOCK: return EAGAIN;
        case WSAEINTR: return EINTR;
        case WSAEINPROGRESS:
        case WSAEALREADY: return EINPROGRESS;
        case WSAECONNREFUSED: return ECONNREFUSED;
        case WSAECONNRESET: return ECONNRESET;
        case WSAECONNABORTED: return ECONNABORTED;
        case WSAENETRESET: return ENETRESET;
        case WSAETIMEDOUT: return ETIMEDOUT;
        case WSAENETDOWN: return ENETDOWN;
        case WSAENETUNREACH: return ENETUNREACH;
        case WSAEHOSTUNREACH:
        case WSAEHOSTDOWN: return EHOSTUNREACH;
        case WSAENOTCONN: return ENOTCONN;
        case WSAESHUTDOWN: return EPIPE;
        case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
        case WSAEADDRINUSE: return EADDRINUSE;
        case WSAEAFNOSUPPORT:
        case WSAEPFNOSUPPORT: return EAFNOSUPPORT;
        case WSAENOBUFS: return ENOBUFS;
        case WSAEMFILE: return EMFILE;
        case WSAEACCES: return EACCES;
        case WSAENOTSOCK: return ENOTSOCK;
        case WSAEINVAL:
        case WSAEFAULT: return EINVAL;
        case WSANOTINITIALISED:
        case WSASYSNOTREADY:
        case WSAVERNOTSUPPORTED: return ENETDOWN;
        default: return EIO;
    }
}

inline std::wstring wideFromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

inline std::string utf8FromWide(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}
