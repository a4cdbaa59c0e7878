// The Windows records that the device fills and the drive hands out, as plain structs
// with their documented layouts (all fields little-endian, no padding). Shared by the
// device and the drive so that one record travels from the cache to the caller unchanged.
#pragma once

#include <cstdint>

using DWORD = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = std::int32_t;
using WCHAR = char16_t;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

constexpr int MAX_PATH = 260;

// 100-nanosecond intervals since 1601-01-01, low half first.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};

static_assert(sizeof(FILETIME) == 8, "FILETIME is two 32-bit halves");
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52, "documented record size");
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "documented record size");

inline ULONGLONG FileTimeValue(const FILETIME& t) {
  return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
inline FILETIME MakeFileTime(ULONGLONG v) {
  return FILETIME{DWORD(v & 0xFFFFFFFFu), DWORD(v >> 32)};
}
inline ULONGLONG FileSizeValue(const BY_HANDLE_FILE_INFORMATION& r) {
  return (ULONGLONG(r.nFileSizeHigh) << 32) | r.nFileSizeLow;
}
