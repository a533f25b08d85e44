// Times ostrel on the recordings make_bench_wavs wrote (recordings.hpp) and
// prints every figure beside its target, marked "ok" or "MISSED":
//   - warm page cache: `ostrel FILE 0 END` against `cat FILE`, the cost of
//     reading the bytes at all, as ratios of wall and of CPU time, for every
//     build given (NAME=COMMAND, the command a program and its first
//     arguments; the first is the one the others are held to);
//   - every further build against the first, held to its target unless it
//     comes after a "--" (a reference, such as the plain loop);
//   - `sox FILE -n stats` against ostrel;
//   - a stream: `cat FILE | ostrel - 0 END` against `cat FILE | cat`;
//   - a cold cache: the file's pages evicted before each run;
//   - a window of one frame: lines per second and, where valgrind is
//     installed, instructions per line by callgrind's count;
//   - every case's peak resident memory, and whether it grows with the
//     file.
//
// With --compare, two builds A and B side by side instead, and nothing
// else: per recording, each build's time over cat's and B's over A's, of
// the same round, as median +- sd (min .. max) over the rounds.
//
// Times are given as hyperfine gives them: the mean over the rounds, its
// standard deviation and the fastest and slowest round, in milliseconds.
// Ratios are of the means. CPU time is user plus system time, which other
// jobs on a shared machine disturb less than the wall clock. The cases run
// interleaved, round after round, so a machine that slows down for a while
// slows every case alike; every case writes to /dev/null.
//
// Peak memory is the child's ru_maxrss from wait4. A forked child starts
// with the harness's own pages counted, so the harness keeps little of its
// own (plain stdio, small vectors); the `true` row shows that floor.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <vector>

#include "recordings.hpp"

namespace {

constexpr double kPortableTarget = 1.5;  // times the first build
constexpr double kColdTarget = 1.05;     // times cat, cold cache
constexpr double kStreamTarget = 1.15;   // times cat | cat
constexpr double kSoxTarget = 15;        // sox's time over ostrel's
constexpr double kLineTarget = 250;      // instructions per line
constexpr long kRssTargetKb = 4096;      // 4 MB
// Peak memory on the largest file may exceed that on the smallest of the
// same layout by this much and still count as not growing. The same run's
// peak wanders by up to about 150 KB from round to round (as `cat`'s
// does), so the smallest peak of the rounds is compared; anything that
// grew with the file would add megabytes.
constexpr long kRssGrowthKb = 256;

struct Sample {
  double ms = 0;      // wall clock
  double cpu_ms = 0;  // user and system time
  long rss_kb = 0;
};

struct Stats {
  double mean = 0;
  double sigma = 0;  // 0 for a single round
  double min = 0;
  double max = 0;
  double cpu = 0;  // mean CPU time
  long rss_kb = 0;      // the largest peak of every round
  long rss_min_kb = 0;  // the smallest
};

Stats Summarize(const std::vector<Sample>& samples) {
  Stats s;
  if (samples.empty()) return s;
  s.min = samples.front().ms;
  s.max = samples.front().ms;
  s.rss_min_kb = samples.front().rss_kb;
  for (const Sample& x : samples) {
    s.mean += x.ms;
    s.cpu += x.cpu_ms;
    s.min = std::min(s.min, x.ms);
    s.max = std::max(s.max, x.ms);
    s.rss_kb = std::max(s.rss_kb, x.rss_kb);
    s.rss_min_kb = std::min(s.rss_min_kb, x.rss_kb);
  }
  const auto n = static_cast<double>(samples.size());
  s.mean /= n;
  s.cpu /= n;
  if (samples.size() > 1) {
    for (const Sample& x : samples) {
      s.sigma += (x.ms - s.mean) * (x.ms - s.mean);
    }
    s.sigma = std::sqrt(s.sigma / (n - 1));
  }
  return s;
}

// "mean +- sigma (min .. max)", in milliseconds.
std::string Cell(const Stats& s) {
  std::array<char, 80> text{};
  std::snprintf(text.data(), text.size(), "%.1f +- %.1f (%.1f .. %.1f)",
                s.mean, s.sigma, s.min, s.max);
  return text.data();
}

// Every verdict printed, so the end can say how many targets hold.
struct Tally {
  int ok = 0;
  std::vector<std::string> missed;
};
Tally tally;

const char* Verdict(bool ok, const std::string& what) {
  if (ok) {
    ++tally.ok;
  } else {
    tally.missed.push_back(what);
  }
  return ok ? "ok" : "MISSED";
}

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string dirs = path;
  std::size_t at = 0;
  while (at <= dirs.size()) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(at, end - at) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

// Starts args with standard input from `in` (unless -1), standard output
// on `out` and standard error on /dev/null.
pid_t Spawn(const std::vector<std::string>& args, int in, int out) {
  std::vector<char*> argv;
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (in >= 0) ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for the child; a benchmark of a failing command means nothing, so
// a failure ends the benchmark.
rusage Reap(pid_t pid, const std::vector<std::string>& args) {
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "failed (status %d):", status);
    for (const std::string& a : args) std::fprintf(stderr, " %s", a.c_str());
    std::fputc('\n', stderr);
    std::exit(1);
  }
  return usage;
}

double Now() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 +
         static_cast<double>(t.tv_nsec) / 1e6;
}

double CpuMs(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

int OpenNull() { return ::open("/dev/null", O_WRONLY | O_CLOEXEC); }

// Runs args with its output on /dev/null.
Sample Run(const std::vector<std::string>& args) {
  const int null = OpenNull();
  const double t0 = Now();
  const pid_t pid = Spawn(args, -1, null);
  ::close(null);
  const rusage usage = Reap(pid, args);
  const double t1 = Now();
  return {.ms = t1 - t0, .cpu_ms = CpuMs(usage), .rss_kb = usage.ru_maxrss};
}

// Runs `writer | reader >/dev/null`: the whole pipeline's wall time, both
// sides' CPU time, the reader's peak memory.
Sample RunPipe(const std::vector<std::string>& writer,
               const std::vector<std::string>& reader) {
  std::array<int, 2> pipe_fds{};
  if (::pipe2(pipe_fds.data(), O_CLOEXEC) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  const int null = OpenNull();
  const double t0 = Now();
  const pid_t w = Spawn(writer, -1, pipe_fds[1]);
  const pid_t r = Spawn(reader, pipe_fds[0], null);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  ::close(null);
  const rusage wu = Reap(w, writer);
  const rusage ru = Reap(r, reader);
  const double t1 = Now();
  return {.ms = t1 - t0, .cpu_ms = CpuMs(wu) + CpuMs(ru),
          .rss_kb = ru.ru_maxrss};
}

// Drops the file's pages from the page cache, and no other file's: written
// back first (dirty pages would stay), then posix_fadvise DONTNEED. The
// share of its pages still cached after that, by mincore, so a file system
// that keeps them (tmpfs) shows instead of passing for a cold cache.
double Evict(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  const auto size = static_cast<std::size_t>(st.st_size);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return 1;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t pages = (size + page - 1) / page;
  // A small fixed vector, a piece of the file at a time: the harness's
  // memory is every child's floor.
  std::array<unsigned char, 4096> resident{};
  std::size_t cached = 0;
  for (std::size_t first = 0; first < pages; first += resident.size()) {
    const std::size_t n = std::min(resident.size(), pages - first);
    if (::mincore(static_cast<char*>(map) + first * page, n * page,
                  resident.data()) != 0) {
      cached += n;
      continue;
    }
    for (std::size_t k = 0; k < n; ++k) cached += resident[k] & 1U;
  }
  ::munmap(map, size);
  return pages == 0 ? 0 : static_cast<double>(cached) / pages;
}

// Instructions the program executed, by callgrind's count.
double Instructions(const std::string& folder,
                    const std::vector<std::string>& command) {
  const std::string out = folder + "/callgrind.out";
  std::vector<std::string> args = {"valgrind", "--tool=callgrind",
                                   "--callgrind-out-file=" + out};
  args.insert(args.end(), command.begin(), command.end());
  Run(args);
  std::FILE* f = std::fopen(out.c_str(), "r");
  double total = -1;
  std::array<char, 512> line{};
  while (f != nullptr && std::fgets(line.data(), line.size(), f) != nullptr) {
    if (std::strncmp(line.data(), "summary:", 8) == 0) {
      total = std::strtod(line.data() + 8, nullptr);
    }
  }
  if (f != nullptr) std::fclose(f);
  std::remove(out.c_str());
  if (total < 0) {
    std::fputs("no instruction count in callgrind's output\n", stderr);
    std::exit(1);
  }
  return total;
}

struct Build {
  std::string name;
  std::vector<std::string> command;  // the program and its first arguments
  std::vector<Sample> fine;  // a window of one frame
  bool reference = false;    // shown beside the first, held to no target
};

// The build's command with the tool's arguments after it.
std::vector<std::string> With(const Build& b,
                              std::initializer_list<std::string> args) {
  std::vector<std::string> all = b.command;
  all.insert(all.end(), args);
  return all;
}

// Words split at spaces: "PROGRAM ARG ..." of a build given on the command
// line.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

struct File {
  const bench::Recording* recording = nullptr;
  std::string path;
  std::string end;  // the stop time: the whole recording
  double mb = 0;
  std::vector<Sample> cat;
  std::vector<std::vector<Sample>> ostrel;  // by build
  std::vector<Sample> sox;
  std::vector<Sample> pipe_cat;
  std::vector<Sample> pipe_ostrel;
  std::vector<Sample> cold_cat;
  std::vector<Sample> cold_ostrel;
  double resident = 0;  // the most left cached after an eviction
};

void PrintWarm(const std::vector<File>& files,
               const std::vector<Build>& builds) {
  std::printf("\nwarm page cache: ostrel FILE 0 END against cat FILE "
              ">/dev/null, ratios to cat; ok when the wall and the CPU ratio "
              "both meet the target (%s's; the other builds are held to it "
              "below)\n",
              builds[0].name.c_str());
  std::printf("%-15s %7s  %-9s %-34s %8s %6s %6s  %s\n", "file", "MB",
              "build", "wall ms", "cpu ms", "wall x", "cpu x", "target");
  for (const File& f : files) {
    const Stats c = Summarize(f.cat);
    std::printf("%-15s %7.1f  %-9s %-34s %8.1f\n", f.recording->name, f.mb,
                "cat", Cell(c).c_str(), c.cpu);
    for (std::size_t b = 0; b < builds.size(); ++b) {
      const Stats o = Summarize(f.ostrel[b]);
      const double wall = o.mean / c.mean;
      const double cpu = o.cpu / c.cpu;
      std::printf("%-15s %7s  %-9s %-34s %8.1f %6.2f %6.2f", "", "",
                  builds[b].name.c_str(), Cell(o).c_str(), o.cpu, wall, cpu);
      const double target = f.recording->target;
      if (b == 0) {
        std::printf("  <= %.2f %s", target,
                    Verdict(wall <= target && cpu <= target,
                            std::string("warm ") + f.recording->name));
      }
      std::putchar('\n');
    }
  }
}

void PrintBuilds(const std::vector<File>& files,
                 const std::vector<Build>& builds) {
  for (std::size_t b = 1; b < builds.size(); ++b) {
    if (builds[b].reference) {
      std::printf("\n%s against the %s build, warm page cache, ratios of "
                  "the means; a reference, held to no target\n",
                  builds[b].name.c_str(), builds[0].name.c_str());
    } else {
      std::printf("\n%s build against the %s build, warm page cache, ratios "
                  "of the means; target <= %.2f\n",
                  builds[b].name.c_str(), builds[0].name.c_str(),
                  kPortableTarget);
    }
    std::printf("%-15s %6s %6s\n", "file", "wall x", "cpu x");
    for (const File& f : files) {
      const Stats r = Summarize(f.ostrel[0]);
      const Stats o = Summarize(f.ostrel[b]);
      const double wall = o.mean / r.mean;
      const double cpu = o.cpu / r.cpu;
      std::printf("%-15s %6.2f %6.2f  %s\n", f.recording->name, wall, cpu,
                  builds[b].reference
                      ? ""
                      : Verdict(wall <= kPortableTarget && cpu <= kPortableTarget,
                                builds[b].name + "/" + builds[0].name + " " +
                                    f.recording->name));
    }
  }
}

void PrintSox(const std::vector<File>& files, const Build& build) {
  std::printf("\nsox FILE -n stats against ostrel (%s), warm page cache: "
              "how many times ostrel's time sox takes; target >= %.0f\n",
              build.name.c_str(), kSoxTarget);
  std::printf("%-15s %-34s %8s %6s %6s\n", "file", "sox wall ms", "cpu ms",
              "wall x", "cpu x");
  for (const File& f : files) {
    const Stats s = Summarize(f.sox);
    const Stats o = Summarize(f.ostrel[0]);
    const double wall = s.mean / o.mean;
    const double cpu = s.cpu / o.cpu;
    std::printf("%-15s %-34s %8.1f %6.1f %6.1f  %s\n", f.recording->name,
                Cell(s).c_str(), s.cpu, wall, cpu,
                Verdict(wall >= kSoxTarget && cpu >= kSoxTarget,
                        std::string("sox ") + f.recording->name));
  }
}

void PrintStream(const std::vector<File>& files, const Build& build) {
  std::printf("\nstream: cat FILE | ostrel - 0 END (%s) against cat FILE | "
              "cat >/dev/null; CPU time of both sides; target <= %.2f\n",
              build.name.c_str(), kStreamTarget);
  std::printf("%-15s %-34s %-34s %6s %6s\n", "file", "cat | cat wall ms",
              "cat | ostrel - wall ms", "wall x", "cpu x");
  for (const File& f : files) {
    const Stats c = Summarize(f.pipe_cat);
    const Stats o = Summarize(f.pipe_ostrel);
    const double wall = o.mean / c.mean;
    const double cpu = o.cpu / c.cpu;
    std::printf("%-15s %-34s %-34s %6.2f %6.2f  %s\n", f.recording->name,
                Cell(c).c_str(), Cell(o).c_str(), wall, cpu,
                Verdict(wall <= kStreamTarget && cpu <= kStreamTarget,
                        std::string("stream ") + f.recording->name));
  }
}

void PrintCold(const std::vector<File>& files, const Build& build) {
  std::printf("\ncold cache: the file's pages evicted before each run "
              "(posix_fadvise DONTNEED on that file only); ostrel (%s) "
              "against cat; target <= %.2f on the wall clock (a virtual "
              "disk may still be cached by its host)\n",
              build.name.c_str(), kColdTarget);
  std::printf("%-15s %8s %-34s %-34s %6s %6s\n", "file", "cached",
              "cat wall ms", "ostrel wall ms", "wall x", "cpu x");
  for (const File& f : files) {
    const Stats c = Summarize(f.cold_cat);
    const Stats o = Summarize(f.cold_ostrel);
    const double wall = o.mean / c.mean;
    const double cpu = o.cpu / c.cpu;
    // A file whose pages stayed cached gives a warm figure, not a cold one.
    const bool evicted = f.resident < 0.01;
    std::printf("%-15s %7.1f%% %-34s %-34s %6.2f %6.2f  %s\n",
                f.recording->name, 100 * f.resident, Cell(c).c_str(),
                Cell(o).c_str(), wall, cpu,
                evicted ? Verdict(wall <= kColdTarget,
                                  std::string("cold ") + f.recording->name)
                        : Verdict(false, std::string("cold ") +
                                             f.recording->name +
                                             " (pages not evicted)"));
  }
}

void PrintFine(const File& f, const std::vector<Build>& builds,
               const std::string& folder, bool have_valgrind) {
  const bench::Recording& r = *f.recording;
  const double frames = static_cast<double>(r.rate) * bench::Seconds(r);
  std::printf("\nwindow of 1 frame: ostrel %s 0 %s 1, %.0f lines\n", r.name,
              f.end.c_str(), frames);
  std::printf("%-9s %-34s %8s %10s\n", "build", "wall ms", "cpu ms",
              "Mlines/s");
  for (const Build& b : builds) {
    const Stats s = Summarize(b.fine);
    std::printf("%-9s %-34s %8.1f %10.2f\n", b.name.c_str(), Cell(s).c_str(),
                s.cpu, frames / s.mean / 1e3);
  }
  if (!have_valgrind) {
    std::puts("valgrind not installed: no instruction counts");
    return;
  }
  if (bench::Seconds(r) < 2) {
    std::puts("recording shorter than 2 s: no instruction counts");
    return;
  }
  std::printf("\ncallgrind, %s, 0-%s s less 0-1 s (start-up and summary "
              "cancel out); target <= %.0f instructions per line\n",
              r.name, f.end.c_str(), kLineTarget);
  std::printf("%-9s %22s %22s\n", "build", "per sample (default)",
              "per line (1 frame)");
  const double counted = static_cast<double>(r.rate) * (bench::Seconds(r) - 1);
  for (const Build& b : builds) {
    const auto count = [&](const char* stop, bool fine) {
      std::vector<std::string> args = With(b, {f.path, "0", stop});
      if (fine) args.emplace_back("1");
      return Instructions(folder, args);
    };
    const double whole = count(f.end.c_str(), false);
    const double head = count("1", false);
    const double whole1 = count(f.end.c_str(), true);
    const double head1 = count("1", true);
    const double per_line = (whole1 - head1) / counted;
    std::printf("%-9s %22.2f %22.1f  %s\n", b.name.c_str(),
                (whole - head) / (counted * r.channels), per_line,
                Verdict(per_line <= kLineTarget,
                        "instructions per line " + b.name));
  }
}

void PrintMemory(const std::vector<File>& files,
                 const std::vector<Build>& builds, const Stats& floor) {
  std::printf("\npeak resident memory, KB, the largest of every round (a "
              "forked child starts with the harness's pages: `true` peaks "
              "at %ld KB); target <= %ld KB and no growth with the file\n",
              floor.rss_kb, kRssTargetKb);
  std::printf("%-15s %7s %6s", "file", "MB", "cat");
  for (const Build& b : builds) std::printf(" %9s", b.name.c_str());
  std::printf(" %6s %7s %6s\n", "sox", "stream", "cold");
  std::vector<long> largest(builds.size());
  for (const File& f : files) {
    std::printf("%-15s %7.1f %6ld", f.recording->name, f.mb,
                Summarize(f.cat).rss_kb);
    for (std::size_t b = 0; b < builds.size(); ++b) {
      const long kb = Summarize(f.ostrel[b]).rss_kb;
      largest[b] = std::max(largest[b], kb);
      std::printf(" %9ld", kb);
    }
    const long stream = Summarize(f.pipe_ostrel).rss_kb;
    const long cold = Summarize(f.cold_ostrel).rss_kb;
    largest[0] = std::max({largest[0], stream, cold});
    std::printf(" %6ld %7ld %6ld\n", Summarize(f.sox).rss_kb, stream, cold);
  }
  for (std::size_t b = 0; b < builds.size(); ++b) {
    largest[b] = std::max(largest[b], Summarize(builds[b].fine).rss_kb);
    std::printf("largest peak of ostrel (%s), every case: %ld KB  %s\n",
                builds[b].name.c_str(), largest[b],
                Verdict(largest[b] <= kRssTargetKb, "memory " + builds[b].name));
  }
  // The smallest and the largest file of each layout.
  const auto same_layout = [](const File& a, const File& b) {
    return a.recording->layout.code == b.recording->layout.code &&
           a.recording->channels == b.recording->channels &&
           a.recording->layout.bits == b.recording->layout.bits;
  };
  for (std::size_t i = 0; i < files.size(); ++i) {
    const File* small = &files[i];
    const File* large = &files[i];
    bool first = true;
    for (std::size_t j = 0; j < files.size(); ++j) {
      if (!same_layout(files[i], files[j])) continue;
      if (j < i) first = false;
      // Ties (recordings cut short) still pair two different files.
      if (files[j].mb < small->mb) small = &files[j];
      if (files[j].mb >= large->mb) large = &files[j];
    }
    if (!first || small == large) continue;
    for (std::size_t b = 0; b < builds.size(); ++b) {
      const long growth = Summarize(large->ostrel[b]).rss_min_kb -
                          Summarize(small->ostrel[b]).rss_min_kb;
      std::printf("growth with the file (%s), the rounds' smallest peaks: %s "
                  "(%.1f MB) to %s (%.1f MB): %+ld KB; target <= %+ld KB  "
                  "%s\n",
                  builds[b].name.c_str(), small->recording->name, small->mb,
                  large->recording->name, large->mb, growth, kRssGrowthKb,
                  Verdict(growth <= kRssGrowthKb,
                          std::string("memory growth ") +
                              large->recording->name + " " + builds[b].name));
    }
  }
}

// The files of the timed recordings, checked against the table; exits
// when one is missing or was written for another OSTREL_BENCH_MINUTES.
std::vector<File> TimedFiles(const std::string& folder, std::size_t builds) {
  std::vector<File> files;
  for (const bench::Recording& r : bench::kRecordings) {
    if (!r.timed) continue;
    File f;
    f.recording = &r;
    f.path = folder + "/" + r.name;
    f.end = std::to_string(bench::Seconds(r));
    f.ostrel.resize(builds);
    struct stat st {};
    if (::stat(f.path.c_str(), &st) != 0) {
      std::perror(f.path.c_str());
      std::exit(1);
    }
    const std::uint64_t expected =
        wave_writer::HeaderBytes(bench::Header(r)).size() + bench::DataBytes(r);
    if (static_cast<std::uint64_t>(st.st_size) != expected) {
      std::fprintf(stderr,
                   "%s: %lld bytes, not %llu: written with another "
                   "OSTREL_BENCH_MINUTES?\n",
                   f.path.c_str(), static_cast<long long>(st.st_size),
                   static_cast<unsigned long long>(expected));
      std::exit(1);
    }
    f.mb = static_cast<double>(st.st_size) / 1e6;
    files.push_back(std::move(f));
  }
  return files;
}

bool CheckOnly(int rounds) {
  const bool check_only = rounds < 5 || bench::MinutesCap() > 0;
  if (check_only) {
    std::printf("CHECK RUN: %d round(s)%s; the figures say nothing about "
                "the targets\n",
                rounds,
                bench::MinutesCap() > 0
                    ? ", recordings cut short by OSTREL_BENCH_MINUTES"
                    : "");
  }
  return check_only;
}

// "median +- sd (min .. max)" of per-round ratios. The median, as a round
// that another job on the machine slowed moves it less than the mean.
std::string Spread(std::vector<double> x) {
  std::sort(x.begin(), x.end());
  const std::size_t n = x.size();
  const double median = n % 2 == 1 ? x[n / 2] : (x[n / 2 - 1] + x[n / 2]) / 2;
  double mean = 0;
  for (const double v : x) mean += v / static_cast<double>(n);
  double sd = 0;
  for (const double v : x) sd += (v - mean) * (v - mean);
  sd = n > 1 ? std::sqrt(sd / static_cast<double>(n - 1)) : 0;
  std::array<char, 80> text{};
  std::snprintf(text.data(), text.size(), "%.3f +- %.3f (%.3f .. %.3f)",
                median, sd, x.front(), x.back());
  return text.data();
}

// Two builds side by side: cat and both in every round, in an order that
// turns from round to round, warm page cache. Ratios are of one round's
// times, so a slow stretch of the machine slows both sides of each.
int Compare(const std::string& folder, int rounds, const Build& a,
            const Build& b) {
  std::vector<File> files = TimedFiles(folder, 2);
  const bool check_only = CheckOnly(rounds);
  std::printf("%d interleaved rounds, warm page cache, output to "
              "/dev/null\n",
              rounds);
  const std::array<const Build*, 2> builds = {&a, &b};
  for (const File& f : files) {
    Run({"cat", f.path});
    for (const Build* build : builds) Run(With(*build, {f.path, "0", f.end}));
  }
  for (int round = 0; round < rounds; ++round) {
    for (File& f : files) {
      for (int k = 0; k < 3; ++k) {
        const int which = (k + round) % 3;
        if (which == 2) {
          f.cat.push_back(Run({"cat", f.path}));
        } else {
          f.ostrel[which].push_back(Run(With(*builds[which], {f.path, "0", f.end})));
        }
      }
    }
  }
  std::printf("\nper round: wall time over cat's, and B's over A's; median "
              "+- sd (min .. max) over the rounds; the CPU time's B/A as "
              "the median\n");
  std::printf("%-15s %7s  %-32s %-32s %-32s %7s\n", "file", "cat ms",
              "A / cat", "B / cat", "B / A", "cpu B/A");
  for (const File& f : files) {
    std::vector<double> ms;
    std::vector<double> a_cat;
    std::vector<double> b_cat;
    std::vector<double> b_a;
    std::vector<double> cpu_b_a;
    for (std::size_t k = 0; k < f.cat.size(); ++k) {
      const Sample& c = f.cat[k];
      const Sample& x = f.ostrel[0][k];
      const Sample& y = f.ostrel[1][k];
      ms.push_back(c.ms);
      a_cat.push_back(x.ms / c.ms);
      b_cat.push_back(y.ms / c.ms);
      b_a.push_back(y.ms / x.ms);
      cpu_b_a.push_back(y.cpu_ms / x.cpu_ms);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu_b_a.begin(), cpu_b_a.end());
    std::printf("%-15s %7.1f  %-32s %-32s %-32s %7.3f\n", f.recording->name,
                ms[ms.size() / 2], Spread(a_cat).c_str(),
                Spread(b_cat).c_str(), Spread(b_a).c_str(),
                cpu_b_a[cpu_b_a.size() / 2]);
  }
  if (check_only) std::puts("CHECK RUN: not the benchmark's figures");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool compare = argc > 1 && std::strcmp(argv[1], "--compare") == 0;
  if (compare) {
    --argc;
    ++argv;
  }
  if (argc < 4 || (compare && argc != 5)) {
    std::fputs("usage: ostrel_bench FOLDER ROUNDS NAME=OSTREL... "
               "[-- NAME=OSTREL...]\n"
               "  the first build is the one the others are held to; those "
               "after -- are\n  shown beside it with no target\n"
               "       ostrel_bench --compare FOLDER ROUNDS A=OSTREL "
               "B=OSTREL\n",
               stderr);
    return 1;
  }
  const std::string folder = argv[1];
  const int rounds = std::atoi(argv[2]);
  if (rounds < 1) {
    std::fputs("at least 1 round\n", stderr);
    return 1;
  }
  std::vector<Build> builds;
  bool references = false;
  for (int k = 3; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg == "--" && !builds.empty()) {
      references = true;
      continue;
    }
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
      std::fprintf(stderr, "not NAME=COMMAND: %s\n", arg.c_str());
      return 1;
    }
    builds.push_back({.name = arg.substr(0, eq),
                      .command = Words(arg.substr(eq + 1)), .fine = {},
                      .reference = references});
  }
  if (compare) {
    if (builds.size() != 2 || references) {
      std::fputs("--compare takes two builds, A=OSTREL B=OSTREL\n", stderr);
      return 1;
    }
    return Compare(folder, rounds, builds[0], builds[1]);
  }
  const bool have_sox = OnPath("sox");
  const bool have_valgrind = OnPath("valgrind");

  std::vector<File> files = TimedFiles(folder, builds.size());
  // The shortest recording serves the window of one frame.
  const File& fine = *std::min_element(
      files.begin(), files.end(), [](const File& a, const File& b) {
        return a.recording->seconds < b.recording->seconds;
      });

  const bool check_only = CheckOnly(rounds);
  std::printf("%d interleaved rounds, output to /dev/null; times in ms as "
              "mean +- sigma (min .. max) over the rounds\n",
              rounds);

  // Warm page cache: every command once first, then the rounds, the order
  // of the builds turning from round to round.
  for (const File& f : files) {
    Run({"cat", f.path});
    for (const Build& b : builds) Run(With(b, {f.path, "0", f.end}));
  }
  std::vector<Sample> floor;
  for (int round = 0; round < rounds; ++round) {
    for (File& f : files) {
      f.cat.push_back(Run({"cat", f.path}));
      for (std::size_t k = 0; k < builds.size(); ++k) {
        const std::size_t b = (k + static_cast<std::size_t>(round)) %
                              builds.size();
        f.ostrel[b].push_back(Run(With(builds[b], {f.path, "0", f.end})));
      }
      if (have_sox) f.sox.push_back(Run({"sox", f.path, "-n", "stats"}));
    }
    for (Build& b : builds) {
      b.fine.push_back(Run(With(b, {fine.path, "0", fine.end, "1"})));
    }
    floor.push_back(Run({"true"}));
  }
  // Streams, then cold reads, each in rounds of their own. The cold reads
  // take turns at going first.
  const Build& reference = builds.front();
  for (int round = 0; round < rounds; ++round) {
    for (File& f : files) {
      f.pipe_cat.push_back(RunPipe({"cat", f.path}, {"cat"}));
      f.pipe_ostrel.push_back(
          RunPipe({"cat", f.path}, With(reference, {"-", "0", f.end})));
    }
  }
  for (int round = 0; round < rounds; ++round) {
    for (File& f : files) {
      for (int turn = 0; turn < 2; ++turn) {
        f.resident = std::max(f.resident, Evict(f.path));
        if ((turn + round) % 2 == 0) {
          f.cold_cat.push_back(Run({"cat", f.path}));
        } else {
          f.cold_ostrel.push_back(Run(With(reference, {f.path, "0", f.end})));
        }
      }
    }
  }

  PrintWarm(files, builds);
  PrintBuilds(files, builds);
  if (have_sox) {
    PrintSox(files, reference);
  } else {
    std::puts("\nsox not installed: no sox figures");
  }
  PrintStream(files, reference);
  PrintCold(files, reference);
  PrintFine(fine, builds, folder, have_valgrind);
  PrintMemory(files, builds, Summarize(floor));

  std::printf("\ntargets: %d ok, %zu MISSED%s", tally.ok, tally.missed.size(),
              tally.missed.empty() ? "\n" : ":");
  for (std::size_t k = 0; k < tally.missed.size(); ++k) {
    std::printf("%s %s", k == 0 ? "" : ";", tally.missed[k].c_str());
  }
  if (!tally.missed.empty()) std::putchar('\n');
  if (check_only) std::puts("CHECK RUN: not the benchmark's figures");
  return 0;
}
