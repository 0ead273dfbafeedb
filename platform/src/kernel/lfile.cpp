// 16-bit style file calls; an HFILE is a POSIX file descriptor.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include <windows.h>

#include <mutex>
#include <set>

#include "kernel/paths.h"

namespace {

// Descriptors opened here; other numbers are refused, so a stray HFILE can
// never close or write a descriptor that belongs to someone else.
struct Files {
  std::mutex lock;
  std::set<int> open;
};

Files& files() {
  static Files* f = new Files;  // never destroyed
  return *f;
}

HFILE track(int fd) {
  Files& f = files();
  std::lock_guard<std::mutex> g(f.lock);
  f.open.insert(fd);
  return fd;
}

bool known(HFILE h) {
  Files& f = files();
  std::lock_guard<std::mutex> g(f.lock);
  if (f.open.count(h)) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

DWORD error_from_errno(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

HFILE fail() {
  SetLastError(error_from_errno(errno));
  return HFILE_ERROR;
}

}  // namespace

HFILE WINAPI _lopen(LPCSTR lpPathName, int iReadWrite) {
  if (!lpPathName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return HFILE_ERROR;
  }
  int mode = iReadWrite & 3;
  int flags = mode == OF_WRITE ? O_WRONLY : mode == OF_READWRITE ? O_RDWR : O_RDONLY;
  int fd = open(w32p::posix_path(lpPathName).c_str(), flags | O_CLOEXEC);
  return fd < 0 ? fail() : track(fd);
}

HFILE WINAPI _lcreat(LPCSTR lpPathName, int) {
  if (!lpPathName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return HFILE_ERROR;
  }
  int fd = open(w32p::posix_path(lpPathName).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return fd < 0 ? fail() : track(fd);
}

LONG WINAPI _llseek(HFILE hFile, LONG lOffset, int iOrigin) {
  if (!known(hFile)) return HFILE_ERROR;
  int whence = iOrigin == FILE_CURRENT ? SEEK_CUR : iOrigin == FILE_END ? SEEK_END : SEEK_SET;
  off_t r = lseek(hFile, lOffset, whence);
  if (r < 0) return fail();
  return (LONG)r;
}

UINT WINAPI _lread(HFILE hFile, LPVOID lpBuffer, UINT uBytes) {
  if (!known(hFile)) return (UINT)HFILE_ERROR;
  ssize_t r;
  do {
    r = read(hFile, lpBuffer, uBytes);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return (UINT)fail();
  return (UINT)r;
}

UINT WINAPI _lwrite(HFILE hFile, LPCSTR lpBuffer, UINT uBytes) {
  if (!known(hFile)) return (UINT)HFILE_ERROR;
  if (uBytes == 0) {
    // Windows truncates the file at the current position on a zero-length write.
    off_t pos = lseek(hFile, 0, SEEK_CUR);
    if (pos < 0 || ftruncate(hFile, pos) != 0) return (UINT)fail();
    return 0;
  }
  size_t done = 0;
  while (done < uBytes) {
    ssize_t r = write(hFile, lpBuffer + done, uBytes - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return (UINT)fail();
    }
    done += (size_t)r;
  }
  return (UINT)done;
}

HFILE WINAPI _lclose(HFILE hFile) {
  {
    Files& f = files();
    std::lock_guard<std::mutex> g(f.lock);
    if (!f.open.erase(hFile)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return HFILE_ERROR;
    }
  }
  close(hFile);
  return 0;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (!lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (unlink(w32p::posix_path(lpFileName).c_str()) != 0) {
    fail();
    return FALSE;
  }
  return TRUE;
}
