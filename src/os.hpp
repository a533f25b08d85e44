// Everything the operating system does for the tool, behind one small
// interface: opening the input and telling a file from a stream, reading
// it by offset or in order, waiting for it with the stop signals able to
// end the wait, writing standard output and standard error, and the stop
// signals themselves, and the command line. One source file per family of
// systems implements it (os_posix.cpp, os_windows.cpp); nothing else
// includes a system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::os {

// A handle of the system's: a file descriptor on POSIX systems, a HANDLE
// on Windows.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

// A system error code (errno on POSIX systems, GetLastError's code on
// Windows); 0 is no error.
using Error = int;

// The arguments after the program's name. On POSIX systems they are
// main's, as given; on Windows they come from the wide command line, as
// UTF-8, so that a file name in any script reaches OpenInput whole.
std::vector<std::string> Arguments(int argc, char** argv);

// The system's own words for an error, for the lines on standard error.
std::string ErrorText(Error error);

Handle StandardOutput();

// ---- The input.

struct OpenedInput {
  Handle handle = kNoHandle;
  bool owned = false;  // standard input is not ours to close
  // A regular file or a block device, read by offset and with a length.
  // Anything else (a pipe, FIFO, socket, terminal) is a stream, read once,
  // in order.
  bool positioned = false;
  // Opened for reading. Standard input may have been left open for
  // writing only: then a read fails at once, and waiting for it to become
  // readable would wait for good.
  bool readable = true;
};

// Opens the named file (a UTF-8 name on Windows) for reading, or standard
// input for "-". A FIFO's open waits for its writer, as `cat`'s does. False
// if it cannot be opened.
bool OpenInput(const std::string& name, OpenedInput& opened);
void Close(Handle handle);

// The length of a positioned input; 0 if the system cannot tell it.
std::uint64_t Length(Handle handle);

// A hint that a positioned input is read in order from `offset` on. It
// matters when the file is not in the page cache; where the system has no
// such hint, reading goes without it.
void WillReadInOrder(Handle handle, std::uint64_t offset);

struct ReadResult {
  std::size_t bytes = 0;  // 0 with no error and not stopped: the end
  Error error = 0;
  bool stopped = false;  // a stop signal came; nothing was read
};

// One positioned read of up to n bytes; fewer near the end.
ReadResult ReadAt(Handle handle, std::uint64_t offset, std::uint8_t* dst,
                  std::size_t n);

enum class Ready {
  kYes,        // a read returns at once: bytes, the end, or an error
  kNo,         // a read would wait
  kCannotTell  // the system cannot say (some devices): assume it would wait
};
Ready BytesReady(const OpenedInput& input);

// One read of a stream: what has arrived, up to n bytes, after waiting for
// the first of them (unless BytesReady has just said kYes: `ready`). A stop
// signal ends the wait. Where BytesReady can tell, the read starts only
// once the wait says the input is readable, so that a signal that comes
// just before it cannot be missed.
ReadResult ReadSome(const OpenedInput& input, std::uint8_t* dst,
                    std::size_t n, bool ready);

// ---- Standard output and standard error.

// Writes all n bytes, waiting where the handle was left non-blocking and
// its reader is slow; the error of the write that failed, 0 if none did.
Error WriteAll(Handle handle, const char* p, std::size_t n);
// A line on standard error, for the failures standard output cannot carry.
void WriteStandardError(std::string_view text);

// ---- The stop signals: SIGINT and SIGTERM; on Windows, Ctrl-C and
// Ctrl-Break.

// Whether a stop signal has come since StopSignals::Arm. The input ends
// there, as if it ended; reads deliver nothing more.
bool StopRequested();

// While an instance is armed, a stop signal no longer ends the process:
// it ends the input where it is, so that the lines and peaks of what was
// read still come out. Before Arm, and once the instance is gone, each
// signal has the action it had. A signal that was ignored when the tool
// started stays ignored, as a shell's background job expects. Only the
// first stop signal is caught: after it, a second one of either kind has
// its default action, for a run that does not end fast enough. None is
// lost while the handlers go in or come out: on POSIX systems both
// signals wait meanwhile, and one caught after the run's last Status()
// is raised again once the actions are restored. One instance at a time.
class StopSignals {
 public:
  StopSignals() = default;
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();

  void Arm();
  // The status a run that the signal ended reports, as a shell reports a
  // process that the signal killed: 128 + its number (130 for SIGINT, 143
  // for SIGTERM; 130 for Ctrl-C and Ctrl-Break); 0 if none came.
  int Status() const;

 private:
  bool armed_ = false;
};

// Ends the tool with `status`. A status that a stop signal stands for ends
// it by that signal itself, once everything is out: a shell then sees a
// process that the signal killed, and stops a loop the user interrupted.
// Returns the status where the process goes on (the signal is blocked),
// and always on Windows, whose processes end with a status only.
int EndProcess(int status);

#ifndef _WIN32
// For the tests: `seam` runs right after each change that StopSignals
// makes to a stop signal's action, where a signal could fall between two
// of them (nullptr: none).
void SetStopSignalSeamForTesting(void (*seam)());
#endif

}  // namespace ostrel::os
