// Windows alone: file names in any script, and live captures through a
// pipe, ended by closing it, by Ctrl-C or by Ctrl-Break, as live_test.cpp
// checks elsewhere with fork, a pseudo-terminal and POSIX signals. The
// control events go to a console of the tool's own (made hidden when it
// starts), which the test joins to send them, as a user's keys would.
#include <cmath>
#include <filesystem>
#include <thread>

#include "wave_builder.hpp"

namespace {

using wb::Bytes;
using wb::Result;

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

TEST(Windows, NameInAnyScriptPrintsAsItsAsciiCopy) {
  std::vector<std::int64_t> samples;
  for (int i = 0; i < 2000; ++i) samples.push_back(std::lround(20000 * std::sin(0.01 * i)));
  const Bytes take = wb::Wave{.channels = 2, .samples = wb::Pack(2, samples)}.Build();
  const std::string plain = wb::Write(take);
  const std::string dir = std::filesystem::path(plain).parent_path().string();
  const std::string named = dir + "\\" + Utf8(u8"Aufnahme Größe 録音.wav");
  std::ofstream(std::filesystem::path(wb::Widen(named)), std::ios::binary)
      .write(reinterpret_cast<const char*>(take.data()), static_cast<std::streamsize>(take.size()));
  const Result ascii = wb::RunTool({plain, "0", "1"});
  EXPECT_EQ(ascii.status, 0);
  EXPECT_EQ(std::count(ascii.out.begin(), ascii.out.end(), '\n'), 23) << ascii.out;  // banner, 20 lines, summary
  EXPECT_EQ(wb::RunTool({named, "0", "1"}), ascii);
  // A name that is not there is shown in its own letters: its UTF-8 bytes.
  const std::string missing = dir + "\\" + Utf8(u8"無い \"Datei\" ä\\.wav");
  EXPECT_EQ(wb::RunTool({missing, "0", "1"}),
            (Result{2, wb::kBanner + "The file called " + missing + " cannot be found!\n", ""}));
  std::filesystem::remove(std::filesystem::path(wb::Widen(named)));
}

// 8000 frames a second of 16-bit mono; second k is a tone of amplitude
// 3000 (k + 1), so that every line and the peak depend on which seconds
// were read. The header's data size is all ones, as a capture writes it.
constexpr int kRate = 8000;
Bytes Header() { return wb::Wave{.rate = kRate, .declared = 0xFFFFFFFF}.Build(); }
Bytes Second(int k) {
  std::vector<std::int64_t> v;
  for (int i = 0; i < kRate; ++i) v.push_back(std::lround(3000.0 * (k + 1) * std::sin(0.3 * i)));
  return wb::Pack(2, v);
}

void Send(HANDLE to, const std::uint8_t* p, std::size_t n) {
  DWORD put = 0;
  EXPECT_TRUE(::WriteFile(to, p, static_cast<DWORD>(n), &put, nullptr) && put == n);
}

// Reads from the pipe into text until it holds `lines` lines (false if that
// has not happened within 10 s) or, with lines 0, until the end.
bool ReadLines(HANDLE from, std::string& text, std::size_t lines) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (lines == 0 || static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) < lines) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    DWORD ready = 0;
    if (!::PeekNamedPipe(from, nullptr, 0, nullptr, &ready, nullptr)) return lines == 0;  // the writer is gone
    if (ready == 0) {
      ::Sleep(5);
      continue;
    }
    char buffer[4096];
    DWORD got = 0;
    if (!::ReadFile(from, buffer, std::min<DWORD>(ready, sizeof buffer), &got, nullptr)) return lines == 0;
    text.append(buffer, got);
  }
  return true;
}

BOOL WINAPI Swallow(DWORD /*event*/) { return TRUE; }

// Sends the event to every process in the tool's console: the tool, and
// for a moment the test, which lets it pass.
// A process joins one console at most: any the test has (wine may give it
// one that it cannot show) is let go first.
bool SendControl(HANDLE process, DWORD event) {
  ::FreeConsole();
  if (!::AttachConsole(::GetProcessId(process))) return false;
  ::SetConsoleCtrlHandler(Swallow, TRUE);
  const bool sent = ::GenerateConsoleCtrlEvent(event, 0);
  ::FreeConsole();
  return sent;
}

constexpr DWORD kNoEvent = 0xFFFFFFFF;

// A live capture of `seconds` seconds, ended by closing its input or by the
// control event; what it printed, on standard error too, and its status.
Result Capture(int seconds, DWORD event, Bytes& sent) {
  HANDLE in_read, in_write, out_read, out_write;
  EXPECT_TRUE(::CreatePipe(&in_read, &in_write, &wb::kInherited, 0));
  EXPECT_TRUE(::CreatePipe(&out_read, &out_write, &wb::kInherited, 0));
  ::SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  const wb::Capture err;
  const HANDLE process =
      wb::StartTool({"-", "0", "100", std::to_string(kRate)}, in_read, out_write, err.handle, CREATE_NO_WINDOW);
  ::CloseHandle(in_read);
  ::CloseHandle(out_write);
  Result r{};
  sent = Header();
  Send(in_write, sent.data(), sent.size());
  // The banner comes before the tool waits for the first second.
  EXPECT_TRUE(ReadLines(out_read, r.out, 1)) << "no banner before the audio";
  for (int k = 0; k < seconds; ++k) {
    const Bytes second = Second(k);
    // In two pieces, the first ending inside a frame: the part frame must
    // wait for its rest.
    constexpr std::size_t kCut = 8001;
    Send(in_write, second.data(), kCut);
    ::Sleep(20);
    Send(in_write, second.data() + kCut, second.size() - kCut);
    sent.insert(sent.end(), second.begin(), second.end());
    EXPECT_TRUE(ReadLines(out_read, r.out, static_cast<std::size_t>(k) + 2))
        << "no line for second " << k + 1 << " before the next one";
  }
  // The event must end the read that waits: the input stays open until
  // the tool has ended.
  if (event != kNoEvent) {
    EXPECT_TRUE(SendControl(process, event)) << "error " << ::GetLastError();
  } else {
    ::CloseHandle(in_write);
  }
  EXPECT_TRUE(ReadLines(out_read, r.out, 0));
  r.status = wb::ExitCode(process);
  if (event != kNoEvent) ::CloseHandle(in_write);
  ::CloseHandle(out_read);
  r.err = err.Text();
  return r;
}

bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// Three seconds live, ended by the event or, with none, by the end of the
// input: the same bytes as for the whole stream at once, but the status.
void CheckLive(DWORD event, int status) {
  Bytes sent;
  const Result live = Capture(3, event, sent);
  const std::string file = wb::Write(sent);
  Result expected = wb::RunTool({"-", "0", "100", std::to_string(kRate)}, {.kind = wb::Feed::kFile, .file = file});
  // Three lines, the summary.
  EXPECT_EQ(std::count(expected.out.begin(), expected.out.end(), '\n'), 6);
  expected.status = status;
  EXPECT_EQ(live, expected);
}

TEST(Windows, LiveEachLineBeforeTheNextSecondEndedByItsEnd) { CheckLive(kNoEvent, 0); }
TEST(Windows, LiveEndedByCtrlC) { CheckLive(CTRL_C_EVENT, 130); }
TEST(Windows, LiveEndedByCtrlBreak) {
  if (UnderWine()) GTEST_SKIP() << "wine 8 sends no CTRL_BREAK_EVENT (GenerateConsoleCtrlEvent fails)";
  CheckLive(CTRL_BREAK_EVENT, 130);
}

TEST(Windows, BeforeTheScanCtrlCEndsTheProcess) {
  // The header but its data chunk's has come: the tool waits in the probe
  // for the rest, where Ctrl-C still has its default action.
  HANDLE in_read, in_write, out_read, out_write;
  ASSERT_TRUE(::CreatePipe(&in_read, &in_write, &wb::kInherited, 0));
  ASSERT_TRUE(::CreatePipe(&out_read, &out_write, &wb::kInherited, 0));
  ::SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  const HANDLE process = wb::StartTool({"-", "0", "100"}, in_read, out_write, out_write, CREATE_NO_WINDOW);
  ::CloseHandle(in_read);
  ::CloseHandle(out_write);
  const Bytes header = Header();
  Send(in_write, header.data(), header.size() - 8);
  // The banner leaves just before the probe waits.
  std::string out;
  EXPECT_TRUE(ReadLines(out_read, out, 1));
  EXPECT_TRUE(SendControl(process, CTRL_C_EVENT));
  EXPECT_TRUE(ReadLines(out_read, out, 0));
  // Windows' default action ends the process with STATUS_CONTROL_C_EXIT,
  // wine's with 0; a handled Ctrl-C would end the input and say why.
  EXPECT_EQ(static_cast<DWORD>(wb::ExitCode(process)), UnderWine() ? 0 : static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
  EXPECT_EQ(out, wb::kBanner);
  ::CloseHandle(in_write);
  ::CloseHandle(out_read);
}

}  // namespace
