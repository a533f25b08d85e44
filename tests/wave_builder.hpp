// Helpers shared by the tests: wave files built as bytes and written to a
// temp dir, scans of frames held in memory, and whole runs in a string.
#pragma once

#include <gtest/gtest.h>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "interval_scan.hpp"
#include "main.hpp"
#include "sample_layouts.hpp"
#include "wave_writer.hpp"

namespace wb {

using Bytes = wave_writer::Bytes;

// The banner names the version set in the top CMakeLists.txt.
inline const std::string kBanner = "Ostrel " OSTREL_VERSION " by Valdrin\n";

// Each value as `width` little-endian bytes (two's complement).
inline Bytes Pack(int width, const std::vector<std::int64_t>& values) {
  Bytes b;
  for (const std::int64_t v : values) wave_writer::Put(b, static_cast<std::uint64_t>(v), width);
  return b;
}

// A RIFF/WAVE file: "fmt " at 12 and "data" at 36 unless something is put
// ahead of them. Format 0xFFFE writes the 40-byte extensible chunk.
struct Wave {
  std::int64_t channels = 1, bits = 16, format = 1, subformat = 1, rate = 1000;
  std::string before_fmt = {}, before_data = {};  // bytes as they are, right ahead of the chunk
  std::int64_t declared = -1;  // the data size field; -1: the samples' size (all ones with ds64)
  Bytes samples = {};
  // Whole chunks, padded when odd: ahead of the bytes above, and after the samples.
  std::vector<wave_writer::Chunk> chunks_before_fmt = {}, chunks_before_data = {}, chunks_after_data = {};
  std::string riff_id = "RIFF";
  bool ds64 = false;             // a ds64 chunk first, holding the sizes
  std::int64_t ds64_size = -1;   // its data size; -1: the samples' size

  Bytes Build() const {
    const auto ahead = [](std::vector<wave_writer::Chunk> chunks, const std::string& raw) {
      if (!raw.empty()) chunks.push_back(wave_writer::Raw(raw));
      return chunks;
    };
    const auto u16 = [](std::int64_t v) { return static_cast<std::uint16_t>(v); };
    const wave_writer::Header h{
        .riff_id = riff_id,
        .format = {.code = u16(format), .channels = u16(channels), .rate = static_cast<std::uint32_t>(rate),
                   .bits = u16(bits), .sub_format = u16(subformat)},
        .before_fmt = ahead(chunks_before_fmt, before_fmt),
        .before_data = ahead(chunks_before_data, before_data),
        .data_size = declared < 0 ? std::nullopt : std::optional(static_cast<std::uint32_t>(declared)),
        .ds64 = ds64,
        .ds64_data_size = ds64_size < 0 ? std::nullopt : std::optional(static_cast<std::uint64_t>(ds64_size))};
    return wave_writer::File(h, samples, chunks_after_data);
  }
};

#ifdef _WIN32
// A temp file in a folder of this run's, which goes when the run ends.
inline std::string Write(const Bytes& b) {
  struct Folder {
    std::filesystem::path path =
        std::filesystem::path(testing::TempDir()) / ("ostrel_tests_" + std::to_string(::GetCurrentProcessId()));
    Folder() { std::filesystem::create_directories(path); }
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };
  static Folder folder;
  static int count = 0;
  const std::string name = (folder.path / ("take" + std::to_string(++count) + ".wav")).string();
  std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  return name;
}
#else
// An unlinked temp file, named through /dev/fd (on Linux a link to
// /proc/self/fd; macOS has no /proc): nothing is left behind.
inline std::string Write(const Bytes& b) {
  FILE* f = std::tmpfile();
  std::fwrite(b.data(), 1, b.size(), f);
  std::fflush(f);
  return "/dev/fd/" + std::to_string(fileno(f));
}
#endif

// One run of the tool in-process: its standard output and status.
inline std::pair<std::string, int> Run(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::string text;
  ostrel::Output out(text);
  const int status = ostrel::Run(argv, out);
  return {text, status};
}

// The tests' one byte source: bytes in memory. A read that reaches byte
// `fail_at` stops there, as a failed read would; reads that start past it
// succeed again. With `in_order`, it serves them as a stream read once in
// order does: anywhere in the first kHeadBytes, at or past the farthest
// byte taken (skipping ahead takes the bytes skipped, as far as there are
// any), or within the 64 bytes before it; a read of any other byte fails
// whole, and CanServe says so beforehand.
struct FakeSource final : ostrel::ByteSource {
  explicit FakeSource(const Bytes& b, std::uint64_t fail = UINT64_MAX, bool sequential = false)
      : bytes(b), fail_at(fail), in_order(sequential) {}
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* dst, std::size_t n) override {
    if (!CanServe(offset, n)) return 0;
    if (in_order) reached = std::max(reached, std::min<std::uint64_t>(offset, bytes.size()));
    const std::uint64_t end =
        std::min<std::uint64_t>({offset + n, bytes.size(), offset < fail_at ? fail_at : UINT64_MAX});
    if (end <= offset) return 0;
    std::memcpy(dst, bytes.data() + offset, end - offset);
    reached = std::max(reached, end);
    return static_cast<std::size_t>(end - offset);
  }
  bool Sequential() const override { return in_order; }
  bool CanServe(std::uint64_t offset, std::uint64_t length) const override {
    const std::uint64_t head = ostrel::kHeadBytes;  // given up: from there up to the last 64 taken
    return !in_order || reached <= head + 64 || offset + 64 >= reached || (offset <= head && length <= head - offset);
  }
  const Bytes& bytes;
  std::uint64_t fail_at;
  bool in_order;
  std::uint64_t reached = 0;
};

// A file of `length` bytes whose chunk list breaks at its very end, where
// the walk wants a header that the last 6 or 7 bytes cut short, so that a
// stream of it is taken to its end before the tag search: a mono 16-bit fmt
// at 12; a LIST of 80 bytes at 36 holding, at 100, "data" and `data_size`,
// then 8 frames (peak 8000) at 108 to 124; JUNK up to the last bytes.
inline Bytes BrokenAtTheEnd(std::size_t length, std::uint32_t data_size) {
  Bytes list(56);
  wave_writer::PutText(list, "data");
  wave_writer::Put(list, data_size, 4);
  const Bytes frames = Pack(2, {0, 8000, -8000, 8000, -8000, 8000, -8000, 0});
  list.insert(list.end(), frames.begin(), frames.end());
  const std::size_t tail = 6 + length % 2;
  const Bytes file = wave_writer::Riff({{.id = "fmt ", .body = wave_writer::FormatBody({.channels = 1, .rate = 8000})},
                                        {.id = "LIST", .body = list},
                                        {.id = "JUNK", .body = Bytes(length - tail - 132)},
                                        wave_writer::Raw(std::string(tail, '\0'))});
  EXPECT_EQ(file.size(), length);
  return file;
}

struct Layout {
  std::uint32_t bytes = 2, channels = 1, rate = 1000, window = 50;
  std::uint64_t start = 0, end = 0;  // end 0: to the last frame
  double mag = 1;
  bool integer = true;
  std::uint64_t fail_at = UINT64_MAX;
  std::uint32_t encoding = 0;  // 0: integer PCM or float, as `integer` says
};

// Scans frames held in memory (data offset 0): the peaks and the lines.
inline std::pair<ostrel::Peaks, std::string> Scan(const Bytes& frames, const Layout& l) {
  const ostrel::WaveAttributes wa{.sample_rate = l.rate, .bytes_per_sample = l.bytes, .channels = l.channels,
                                  .frame_count = frames.size() / (l.bytes * l.channels),
                                  .encoding = l.encoding != 0 ? l.encoding
                                              : l.integer ? ostrel::kEncodingPcm
                                                          : ostrel::kEncodingFloat};
  const ostrel::ScanSettings s{.frame_size = l.bytes * l.channels, .start_frame = l.start,
                               .end_frame = l.end != 0 ? l.end : wa.frame_count, .window = l.window,
                               .window_seconds = static_cast<double>(l.window) / l.rate,
                               .magnification = l.mag};
  FakeSource source(frames, l.fail_at);
  std::string text;
  ostrel::Output out(text);
  const ostrel::Peaks peaks = ostrel::ScanInterval(source, wa, s, out);
  out.Flush();
  return {peaks, text};
}

// `count` lines of `dots` dots whose times are 0.03, 0.08, 0.13, ...: windows
// of 0.05 s whose representative frame lies just past 0.05 k - 0.025 s.
inline std::string Lines(int count, int dots) {
  std::string s;
  for (int k = 1; k <= count; ++k)
    s += std::to_string((5 * k - 2) / 100) + "." + std::to_string((5 * k - 2) % 100 / 10) +
         std::to_string((5 * k - 2) % 10) + "\t" + std::string(static_cast<std::size_t>(dots), '.') + "\n";
  return s;
}

// A float sample by the bit-by-bit table arithmetic, in level units:
// (S + 2) * sign * 2^(E - 121), S the mantissa bits weighted 1, 1/2, ...
inline double Float32Reference(std::uint32_t w) {
  double s = 0;
  for (int k = 0; k <= 22; ++k) s += ((w >> (22 - k)) & 1) * std::ldexp(1.0, -k);
  return (s + 2) * ((w >> 31) != 0 ? -1 : 1) * std::ldexp(1.0, static_cast<int>((w >> 23) & 0xFF) - 121);
}

// What a run of the built tool showed: its exit status, standard output
// and standard error.
struct Result {
  int status;
  std::string out, err;
  bool operator==(const Result&) const = default;
};
inline void PrintTo(const Result& r, std::ostream* os) { *os << testing::PrintToString(std::make_tuple(r.status, r.out, r.err)); }

// Odd piece sizes for a slow writer, which pauses before each piece.
constexpr std::size_t kPieces[] = {1, 3, 43, 7, 4093, 11, 16385, 5};

template <class Write>
void WriteInPieces(const Bytes& bytes, Write write) {
  for (std::size_t at = 0, k = 0; at < bytes.size(); ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::size_t n = std::min(kPieces[k % std::size(kPieces)], bytes.size() - at);
    if (!write(bytes.data() + at, n)) return;
    at += n;
  }
}

// A pipe that the test writes and the tool's input opens by its name, as a
// stream: on Windows a named pipe, whose first write waits for the input to
// open it; elsewhere a pipe, named through /dev/fd.
class Pipe {
 public:
#ifdef _WIN32
  Pipe() {
    static int count = 0;
    name_ = R"(\\.\pipe\ostrel_test_)" + std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(++count);
    writer_ = ::CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 20, 1 << 20, 0, nullptr);
    EXPECT_NE(writer_, INVALID_HANDLE_VALUE);
  }
  ~Pipe() { CloseWriter(); }
  bool Write(const std::uint8_t* p, std::size_t n) {
    if (!connected_) connected_ = ::ConnectNamedPipe(writer_, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
    DWORD put = 0;
    return connected_ && ::WriteFile(writer_, p, static_cast<DWORD>(n), &put, nullptr) && put == n;
  }
  // The reader gets what was written, then the end.
  void CloseWriter() {
    if (writer_ != INVALID_HANDLE_VALUE) ::CloseHandle(writer_);
    writer_ = INVALID_HANDLE_VALUE;
  }
#else
  Pipe() {
    EXPECT_EQ(::pipe(fds_), 0);
    name_ = "/dev/fd/" + std::to_string(fds_[0]);
  }
  ~Pipe() {
    CloseWriter();
    ::close(fds_[0]);
  }
  bool Write(const std::uint8_t* p, std::size_t n) { return ::write(fds_[1], p, n) == static_cast<ssize_t>(n); }
  void CloseWriter() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }
#endif
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  const std::string& name() const { return name_; }

 private:
  std::string name_;
#ifdef _WIN32
  HANDLE writer_ = INVALID_HANDLE_VALUE;
  bool connected_ = false;
#else
  int fds_[2] = {-1, -1};
#endif
};

#ifdef _WIN32
inline std::wstring Widen(const std::string& utf8) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

// The built tool's command line: each argument quoted as the C runtime and
// CommandLineToArgvW unquote it (n backslashes before a quote are 2n + 1).
inline std::wstring CommandLine(const std::vector<std::string>& args) {
  std::wstring line = L"\"" + Widen(OSTREL_EXE) + L"\"";
  for (const std::string& arg : args) {
    line += L" \"";
    std::size_t slashes = 0;
    for (const wchar_t c : Widen(arg)) {
      if (c == L'"') line.append(slashes + 1, L'\\');
      slashes = c == L'\\' ? slashes + 1 : 0;
      line += c;
    }
    line.append(slashes, L'\\');
    line += L'"';
  }
  return line;
}

// The built tool, started with the given standard handles (which must be
// inheritable, or null for none): its process handle, or null.
inline HANDLE StartTool(const std::vector<std::string>& args, HANDLE in, HANDLE out, HANDLE err, DWORD flags = 0) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring line = CommandLine(args);
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &started)) {
    ADD_FAILURE() << "cannot start " << OSTREL_EXE << ": error " << ::GetLastError();
    return nullptr;
  }
  ::CloseHandle(started.hThread);
  return started.hProcess;
}

// Its exit code once it has ended; -1 if it has not within 20 s (it is
// ended then: a hang fails).
inline int ExitCode(HANDLE process) {
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process, 20000) != WAIT_OBJECT_0) ::TerminateProcess(process, code);
  else ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  return static_cast<int>(code);
}

inline SECURITY_ATTRIBUTES kInherited{.nLength = sizeof(SECURITY_ATTRIBUTES), .lpSecurityDescriptor = nullptr,
                                      .bInheritHandle = TRUE};

// A scratch file that a child writes, read back whole.
struct Capture {
  std::string path;
  HANDLE handle;
  Capture() : path(Write({})) {
    handle = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &kInherited, CREATE_ALWAYS, 0, nullptr);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  ~Capture() { ::CloseHandle(handle); }
  std::string Text() const {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
};

// What the tool reads: NUL, no handle at all, a file (`skip` bytes in), a
// file open for writing only, a pipe that a writer fills (slow: in pieces,
// pausing before each), or a message-mode pipe that takes each write as a
// message, which a read shorter than the message gets only in part.
struct Feed {
  enum Kind { kNul, kNone, kFile, kWriteOnly, kPipe, kMessages } kind = kNul;
  std::string file = {};
  std::uint64_t skip = 0;
  const Bytes* bytes = nullptr;
  bool slow = false;
};

// One run of the built tool: standard output and error to files (none for
// standard output with `no_output`).
inline Result RunTool(const std::vector<std::string>& args, const Feed& feed = {}, bool no_output = false) {
  const Capture out, err;
  HANDLE in = nullptr, writer = nullptr;
  if (feed.kind == Feed::kNul || feed.kind == Feed::kFile || feed.kind == Feed::kWriteOnly) {
    in = ::CreateFileA(feed.kind == Feed::kNul ? "NUL" : feed.file.c_str(),
                       feed.kind == Feed::kWriteOnly ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &kInherited, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER skip{.QuadPart = static_cast<LONGLONG>(feed.skip)};
    ::SetFilePointerEx(in, skip, nullptr, FILE_BEGIN);
  } else if (feed.kind == Feed::kPipe) {
    EXPECT_TRUE(::CreatePipe(&in, &writer, &kInherited, 0));
    ::SetHandleInformation(writer, HANDLE_FLAG_INHERIT, 0);
  } else if (feed.kind == Feed::kMessages) {
    static int count = 0;
    const std::string name =
        R"(\\.\pipe\ostrel_messages_)" + std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(++count);
    in = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            1, 1 << 20, 1 << 20, 0, &kInherited);
    writer = ::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(in != INVALID_HANDLE_VALUE && writer != INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    EXPECT_TRUE(::ConnectNamedPipe(in, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED);
  }
  const HANDLE process = StartTool(args, in, no_output ? nullptr : out.handle, err.handle);
  if (in != nullptr) ::CloseHandle(in);
  if (writer != nullptr) {
    const auto put = [&](const std::uint8_t* p, std::size_t n) {
      DWORD done = 0;
      return ::WriteFile(writer, p, static_cast<DWORD>(n), &done, nullptr) && done == n;
    };
    if (feed.slow) {
      WriteInPieces(*feed.bytes, put);
    } else if (!feed.bytes->empty()) {
      put(feed.bytes->data(), feed.bytes->size());
    }
    ::CloseHandle(writer);
  }
  const int status = process == nullptr ? -1 : ExitCode(process);
  return {status, out.Text(), err.Text()};
}
#endif

#ifndef _WIN32
// The one way the tests start the built tool: a scratch folder, and bash
// runs in it under a timeout (a hang fails) with the tool's path as $0.
// macOS has no timeout command; there ctest's own limit ends a hang.
class Shell {
 public:
  Shell() : dir_(testing::TempDir() + "ostrel_streams_XXXXXX") { EXPECT_NE(::mkdtemp(dir_.data()), nullptr); }
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;
  ~Shell() { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const Bytes& b) const {
    std::ofstream(Path(name), std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
  }
  // `feed`, if given, goes to the script's standard input from a slow writer.
  Result Run(const std::string& script, const Bytes* feed = nullptr) const {
    const std::string command =
        "cd " + dir_ + " && $(command -v timeout >/dev/null && echo timeout 10) bash -c '" + script + "' " OSTREL_BINARY
        " >out 2>err";
    int raw = 0;
    if (feed == nullptr) {
      raw = std::system(command.c_str());
    } else {
      FILE* in = popen(command.c_str(), "w");
      // A tool that stops reading early must not take the test down.
      const auto old = ::signal(SIGPIPE, SIG_IGN);
      WriteInPieces(*feed, [&](const std::uint8_t* p, std::size_t n) {
        return ::write(fileno(in), p, n) == static_cast<ssize_t>(n);
      });
      ::signal(SIGPIPE, old);
      raw = pclose(in);
    }
    std::ostringstream out, err;
    out << std::ifstream(dir_ + "/out").rdbuf();
    err << std::ifstream(dir_ + "/err").rdbuf();
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out.str(), err.str()};
  }

 private:
  std::string dir_;
};
#endif

}  // namespace wb
