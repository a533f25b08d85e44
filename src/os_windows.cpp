// The operating system's part on Windows: Win32 handles, positioned reads
// through an OVERLAPPED offset, and a console control handler for Ctrl-C
// and Ctrl-Break that wakes a read which waits. Standard input and output
// go through ReadFile and WriteFile, never the C library's streams, so no
// text mode turns LF into CR LF or takes byte 0x1A for the end.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>

#include "os.hpp"

namespace ostrel::os {
namespace {

HANDLE Win(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

// A DWORD counts the bytes of one read or write; larger requests go in
// parts, as a short read or write would.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
DWORD Part(std::size_t n) { return static_cast<DWORD>(std::min(n, kMaxTransfer)); }

std::string Utf8(const wchar_t* text, int length) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0,
                                      nullptr, nullptr);
  std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr,
                          nullptr);
  }
  return out;
}

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(std::max(n, 0)), L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), n);
  }
  return out;
}

// ---- The stop signals' state, shared with the control handler, which
// the system runs on a thread of its own.

constexpr DWORD kNoEvent = std::numeric_limits<DWORD>::max();
// The first Ctrl-C or Ctrl-Break caught while armed, kNoEvent if none.
std::atomic<DWORD> g_caught{kNoEvent};
// Set while the reading thread is in, or about to enter, a read of a
// stream, which may wait for good.
std::atomic<bool> g_reading{false};
// The reading thread, for CancelSynchronousIo (which needs a real handle,
// not the pseudo handle GetCurrentThread gives). The handler's thread uses
// it while the main thread may be closing it, so both hold the lock.
std::mutex g_reader_lock;
HANDLE g_reader = nullptr;

// Whether a failed call was a cancel that the stop meant for a read of a
// stream, which came as that read ended and hit the next call instead.
bool LateCancel(DWORD error) {
  return error == ERROR_OPERATION_ABORTED && StopRequested();
}

// Cancels the reading thread's read, if there is a reader to cancel and a
// read that the cancel ends.
bool CancelRead() {
  const std::lock_guard<std::mutex> lock(g_reader_lock);
  return g_reader != nullptr && ::CancelSynchronousIo(g_reader);
}

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  DWORD none = kNoEvent;
  // A second one finds the first noted and takes the default action, which
  // ends the process, for a run that does not end fast enough.
  if (!g_caught.compare_exchange_strong(none, event)) return FALSE;
  // The reader sets g_reading before it looks at g_caught, and this
  // handler sets g_caught before it looks at g_reading: so either the
  // reader sees the event and does not read, or this sees it reading. A
  // cancel that comes before the read has started finds nothing to end,
  // so it is tried again until it ends the read or the read is over (a
  // stream whose reads cannot be cancelled ends at its next bytes).
  for (int tries = 0; tries < 1000 && g_reading.load(); ++tries) {
    if (CancelRead()) break;
    ::Sleep(1);
  }
  return TRUE;
}

bool IsStandardInput(HANDLE handle) {
  return handle == ::GetStdHandle(STD_INPUT_HANDLE);
}

// A console shows text, not bytes: UTF-8 goes to it as UTF-16, whatever
// its code page, so that file names in any script show as they are. (A
// sequence cut by the end of a write would show as U+FFFD; the only text
// that is not ASCII is a file name near the start of the output.)
Error WriteConsoleText(HANDLE console, const char* p, std::size_t n) {
  const std::wstring text = Wide(std::string_view(p, n));
  for (std::size_t at = 0; at < text.size();) {
    DWORD put = 0;
    const auto part = static_cast<DWORD>(std::min<std::size_t>(text.size() - at, 1 << 14));
    if (!::WriteConsoleW(console, text.data() + at, part, &put, nullptr)) {
      const DWORD error = ::GetLastError();
      // Write on from where the cancel stopped this write.
      if (!LateCancel(error)) return static_cast<Error>(error);
    }
    at += put;
  }
  return 0;
}

bool Blank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

// The command line split as the C runtime splits it for main (and
// CommandLineToArgvW, which would load shell32 and with it the window
// libraries: a tenth of a second at every start under wine). Blanks part
// the arguments, double quotes hold blanks in one; 2n backslashes before a
// quote stand for n and the quote for itself, 2n + 1 for n and a literal
// quote, and "" within quotes for one quote; other backslashes are as
// they are. The program's name goes to the next blank, or between quotes.
std::vector<std::string> Arguments(int /*argc*/, char** /*argv*/) {
  const wchar_t* p = ::GetCommandLineW();
  if (*p == L'"') {
    for (++p; *p != L'\0' && *p != L'"'; ++p) {}
    if (*p == L'"') ++p;
  } else {
    while (*p != L'\0' && !Blank(*p)) ++p;
  }
  std::vector<std::string> args;
  for (;;) {
    while (Blank(*p)) ++p;
    if (*p == L'\0') return args;
    std::wstring arg;
    bool quoted = false;
    while (*p != L'\0' && (quoted || !Blank(*p))) {
      std::size_t slashes = 0;
      for (; *p == L'\\'; ++p) ++slashes;
      if (*p != L'"') {
        arg.append(slashes, L'\\');
      } else {
        arg.append(slashes / 2, L'\\');
        if (slashes % 2 == 1 || (quoted && p[1] == L'"')) {
          arg += L'"';
          p += slashes % 2 == 1 ? 1 : 2;
        } else {
          quoted = !quoted;
          ++p;
        }
        continue;
      }
      if (*p != L'\0' && (quoted || !Blank(*p))) arg += *p++;
    }
    args.push_back(Utf8(arg.data(), static_cast<int>(arg.size())));
  }
}

std::string ErrorText(Error error) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text),
      0, nullptr);
  std::string words = n > 0 ? Utf8(text, static_cast<int>(n)) : std::string();
  ::LocalFree(text);
  // The system's messages end in CR LF, some in a blank before it.
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' ||
                            words.back() == ' ')) {
    words.pop_back();
  }
  return words.empty() ? "error " + std::to_string(error) : words;
}

Handle StandardOutput() {
  return reinterpret_cast<Handle>(::GetStdHandle(STD_OUTPUT_HANDLE));
}

bool OpenInput(const std::string& name, OpenedInput& opened) {
  HANDLE handle = nullptr;
  if (name == "-") {
    handle = ::GetStdHandle(STD_INPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  } else {
    // Shared every way, as a POSIX open is: a recording that is still
    // being written, or renamed, can be read. Backup semantics let a
    // directory open, as it does on POSIX systems, so that it fails as
    // there: at its first read.
    handle = ::CreateFileW(
        Wide(name).c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN,
        nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
  }
  const DWORD type = ::GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) {
    if (name != "-") ::CloseHandle(handle);
    return false;  // a standard input handle that is not open
  }
  opened.handle = reinterpret_cast<Handle>(handle);
  opened.owned = name != "-";
  // A file on a disk is read by offset; a pipe or a character device (the
  // console, NUL, a serial port) is a stream.
  opened.positioned = type == FILE_TYPE_DISK;
  // `readable` stays true: a handle open for writing only fails its first
  // read at once, with no wait before it.
  return true;
}

void Close(Handle handle) { ::CloseHandle(Win(handle)); }

std::uint64_t Length(Handle handle) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(Win(handle), &size) || size.QuadPart < 0) return 0;
  return static_cast<std::uint64_t>(size.QuadPart);
}

// The open asked for reading in order (FILE_FLAG_SEQUENTIAL_SCAN).
void WillReadInOrder(Handle /*handle*/, std::uint64_t /*offset*/) {}

ReadResult ReadAt(Handle handle, std::uint64_t offset, std::uint8_t* dst,
                  std::size_t n) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) {
    return {};
  }
  const HANDLE file = Win(handle);
  // A read at an offset moves the file's position too; standard input's
  // is not ours to move, so it is put back.
  LARGE_INTEGER here{};
  const bool keep = IsStandardInput(file) &&
                    ::SetFilePointerEx(file, LARGE_INTEGER{}, &here, FILE_CURRENT);
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const BOOL ok = ::ReadFile(file, dst, Part(n), &got, &at);
  const DWORD error = ok ? 0 : ::GetLastError();
  if (keep) ::SetFilePointerEx(file, here, nullptr, FILE_BEGIN);
  if (ok) return {.bytes = got};
  if (error == ERROR_HANDLE_EOF) return {};
  // A cancel the stop meant for a stream's read.
  if (LateCancel(error)) return {.stopped = true};
  return {.error = static_cast<Error>(error)};
}

Ready BytesReady(const OpenedInput& input) {
  const HANDLE handle = Win(input.handle);
  if (::GetFileType(handle) != FILE_TYPE_PIPE) {
    // The console: bytes come a line at a time, and how many a line holds
    // is not known before it is read. Other devices cannot tell either.
    return Ready::kCannotTell;
  }
  DWORD waiting = 0;
  if (!::PeekNamedPipe(handle, nullptr, 0, nullptr, &waiting, nullptr)) {
    return Ready::kYes;  // the writer is gone, or an error: a read returns at once
  }
  return waiting > 0 ? Ready::kYes : Ready::kNo;
}

// Anonymous pipes have no overlapped reads, so a read that waits is woken
// by the control handler's CancelSynchronousIo. Waiting in the read
// itself, rather than looking every few milliseconds, keeps a pipe from a
// fast decoder as fast as the decoder.
// A read that BytesReady has just found ready returns at once; the wake-up
// handshake around it costs two atomic stores, so `ready` changes nothing.
ReadResult ReadSome(const OpenedInput& input, std::uint8_t* dst,
                    std::size_t n, bool /*ready*/) {
  const HANDLE handle = Win(input.handle);
  for (;;) {
    g_reading.store(true);
    if (StopRequested()) {
      g_reading.store(false);
      return {.stopped = true};
    }
    DWORD got = 0;
    const BOOL ok = ::ReadFile(handle, dst, Part(n), &got, nullptr);
    const DWORD error = ok ? 0 : ::GetLastError();
    g_reading.store(false);
    // A message-mode pipe says ERROR_MORE_DATA where a message is longer
    // than the read: the bytes that came are the message's first ones, and
    // the next read goes on with the rest.
    if ((ok || error == ERROR_MORE_DATA) && got > 0) return {.bytes = got};
    // Ended by the stop: cancelled, or a console read that Ctrl-C ends.
    if (StopRequested()) return {.stopped = true};
    // The end: a pipe whose writer is gone (under wine, a pipe from a Linux
    // program ends with a read of no bytes), or a console's end of input.
    // As for the C runtime, no bytes is the end even where a writer wrote
    // none.
    if (ok || error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return {};
    if (error == ERROR_OPERATION_ABORTED) continue;
    // A pipe left non-blocking says it is empty: wait for bytes as a
    // blocking read would.
    if (error == ERROR_NO_DATA) {
      ::Sleep(1);
      continue;
    }
    return {.error = static_cast<Error>(error)};
  }
}

Error WriteAll(Handle handle, const char* p, std::size_t n) {
  const HANDLE out = Win(handle);
  DWORD mode = 0;
  if (n > 0 && ::GetConsoleMode(out, &mode)) return WriteConsoleText(out, p, n);
  while (n > 0) {
    DWORD put = 0;
    if (!::WriteFile(out, p, Part(n), &put, nullptr)) {
      const DWORD error = ::GetLastError();
      // Write on from where the cancel stopped this write.
      if (!LateCancel(error)) return static_cast<Error>(error);
    }
    // A pipe left non-blocking takes nothing while it is full: wait for
    // room as a blocking write would.
    if (put == 0) ::Sleep(1);
    p += put;
    n -= put;
  }
  return 0;
}

void WriteStandardError(std::string_view text) {
  [[maybe_unused]] const Error ignored =
      WriteAll(reinterpret_cast<Handle>(::GetStdHandle(STD_ERROR_HANDLE)),
               text.data(), text.size());
}

bool StopRequested() { return g_caught.load() != kNoEvent; }

StopSignals::~StopSignals() {
  if (!armed_) return;
  ::SetConsoleCtrlHandler(OnControl, FALSE);
  {
    // A handler that the system started before the line above may still
    // be cancelling: it finishes with the handle before it is closed.
    const std::lock_guard<std::mutex> lock(g_reader_lock);
    if (g_reader != nullptr) ::CloseHandle(g_reader);
    g_reader = nullptr;
  }
  g_caught.store(kNoEvent);
}

// A process whose Ctrl-C was ignored when it started (a program started
// with the console's Ctrl-C turned off) never gets it in the handler, so it
// stays ignored, as on POSIX systems.
void StopSignals::Arm() {
  g_caught.store(kNoEvent);
  // THREAD_TERMINATE is the access CancelSynchronousIo asks for. Without
  // the handle, a read that waits ends at its next bytes.
  {
    const std::lock_guard<std::mutex> lock(g_reader_lock);
    g_reader = ::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId());
  }
  ::SetConsoleCtrlHandler(OnControl, TRUE);
  armed_ = true;
}

int StopSignals::Status() const { return armed_ && StopRequested() ? 130 : 0; }

int EndProcess(int status) { return status; }

}  // namespace ostrel::os
