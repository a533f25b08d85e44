// Times ostrel on the recordings make_bench_wavs wrote, against reading the
// bytes at all (cat) and, where it is installed, sox's stats; reports lines
// per second for a window of one frame, every case's peak resident memory,
// and, where valgrind is installed, instructions per sample and per line.
//
// The cases run interleaved, round after round, so a machine that slows
// down for a while slows every case alike; each figure is the median of the
// rounds. Every case writes to /dev/null. The page cache is warmed first.
//
// Ratios come from the median wall-clock times; "cpu ratio" compares the
// medians of user plus system time, which other jobs on a shared machine
// disturb less.
//
// Peak memory is the child's ru_maxrss from wait4. A forked child starts
// with the harness's own anonymous pages counted, so the harness keeps
// little of its own (plain stdio, small fixed tables); the "true" row shows
// that floor.
#include <fcntl.h>
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
#include <string>
#include <vector>

namespace {

struct Sample {
  double ms = 0;      // wall clock
  double cpu_ms = 0;  // user and system time: less disturbed by other jobs
  long rss_kb = 0;
};

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

// Runs argv with stdout and stderr on /dev/null; the wall time and the
// child's peak resident memory. Exits on a failed run: a benchmark of a
// failing command means nothing.
Sample Run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  timespec t0{};
  timespec t1{};
  ::clock_gettime(CLOCK_MONOTONIC, &t0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  ::clock_gettime(CLOCK_MONOTONIC, &t1);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "failed (status %d):", status);
    for (const std::string& a : args) std::fprintf(stderr, " %s", a.c_str());
    std::fputc('\n', stderr);
    std::exit(1);
  }
  Sample s;
  s.ms = static_cast<double>(t1.tv_sec - t0.tv_sec) * 1e3 +
         static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e6;
  const timeval& u = usage.ru_utime;
  const timeval& k = usage.ru_stime;
  s.cpu_ms = static_cast<double>(u.tv_sec + k.tv_sec) * 1e3 +
             static_cast<double>(u.tv_usec + k.tv_usec) / 1e3;
  s.rss_kb = usage.ru_maxrss;
  return s;
}

struct Case {
  std::vector<std::string> args;
  std::vector<Sample> samples;

  double MedianMs(double Sample::*field = &Sample::ms) const {
    std::vector<double> ms;
    for (const Sample& s : samples) ms.push_back(s.*field);
    std::sort(ms.begin(), ms.end());
    const std::size_t n = ms.size();
    return n % 2 == 1 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
  }
  long PeakKb() const {
    long peak = 0;
    for (const Sample& s : samples) peak = std::max(peak, s.rss_kb);
    return peak;
  }
};

struct File {
  File(const char* n, const char* s) : name(n), seconds(s) {}
  const char* name;
  const char* seconds;
  std::string path;
  double mb = 0;
  Case cat;
  Case ostrel;
  Case sox;
};

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


// Reading a stream: `cat FILE | ostrel - 0 END` against
// `cat FILE | cat >/dev/null`, the cost of moving the bytes through a pipe
// at all. Both run interleaved, round after round; the figures are the mean
// wall-clock time of the whole pipeline with its standard deviation, the
// fastest and slowest round, and the reading side's peak resident memory.
void PipeFigures(const std::string& ostrel, const std::array<File, 4>& files,
                 int rounds) {
  // Starts args with standard input from `in` (unless -1), standard output
  // on `out` and standard error on /dev/null.
  const auto spawn = [](const std::vector<std::string>& args, int in,
                        int out) {
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
  };
  const auto run = [&](const std::vector<std::string>& writer,
                       const std::vector<std::string>& reader) {
    std::array<int, 2> pipe_fds{};
    if (::pipe2(pipe_fds.data(), O_CLOEXEC) != 0) {
      std::perror("pipe");
      std::exit(1);
    }
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    timespec t0{};
    timespec t1{};
    ::clock_gettime(CLOCK_MONOTONIC, &t0);
    const pid_t w = spawn(writer, -1, pipe_fds[1]);
    const pid_t r = spawn(reader, pipe_fds[0], null);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    ::close(null);
    int w_status = 0;
    int r_status = 0;
    rusage usage{};
    ::waitpid(w, &w_status, 0);
    ::wait4(r, &r_status, 0, &usage);
    ::clock_gettime(CLOCK_MONOTONIC, &t1);
    for (const int status : {w_status, r_status}) {
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "failed (status %d): %s | %s\n", status,
                     writer[0].c_str(), reader[0].c_str());
        std::exit(1);
      }
    }
    Sample s;
    s.ms = static_cast<double>(t1.tv_sec - t0.tv_sec) * 1e3 +
           static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e6;
    s.rss_kb = usage.ru_maxrss;
    return s;
  };
  struct Figures {
    std::vector<Sample> cat;
    std::vector<Sample> ostrel;
  };
  std::vector<Figures> figures(files.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < files.size(); ++k) {
      const std::vector<std::string> writer = {"cat", files[k].path};
      figures[k].cat.push_back(run(writer, {"cat"}));
      figures[k].ostrel.push_back(
          run(writer, {ostrel, "-", "0", files[k].seconds}));
    }
  }
  struct Stats {
    double mean = 0;
    double sigma = 0;
    double min = 0;
    double max = 0;
    long rss_kb = 0;
  };
  const auto stats = [](const std::vector<Sample>& samples) {
    Stats s;
    s.min = samples.front().ms;
    s.max = samples.front().ms;
    for (const Sample& x : samples) {
      s.mean += x.ms;
      s.min = std::min(s.min, x.ms);
      s.max = std::max(s.max, x.ms);
      s.rss_kb = std::max(s.rss_kb, x.rss_kb);
    }
    const auto n = static_cast<double>(samples.size());
    s.mean /= n;
    for (const Sample& x : samples) {
      s.sigma += (x.ms - s.mean) * (x.ms - s.mean);
    }
    s.sigma = std::sqrt(s.sigma / (n - 1));
    return s;
  };
  std::printf("stream: cat FILE | cat >/dev/null against cat FILE | ostrel "
              "- 0 END, %d interleaved rounds, ms: mean +- sigma (min, "
              "max)\n",
              rounds);
  std::printf("%-14s %-30s %-30s %6s  %s\n", "file", "cat | cat",
              "cat | ostrel -", "ratio", "peak RSS KB: ostrel cat");
  for (std::size_t k = 0; k < files.size(); ++k) {
    const Stats c = stats(figures[k].cat);
    const Stats o = stats(figures[k].ostrel);
    std::array<char, 40> cat_cell{};
    std::array<char, 40> ostrel_cell{};
    std::snprintf(cat_cell.data(), cat_cell.size(),
                  "%.1f +- %.1f (%.1f, %.1f)", c.mean, c.sigma, c.min, c.max);
    std::snprintf(ostrel_cell.data(), ostrel_cell.size(),
                  "%.1f +- %.1f (%.1f, %.1f)", o.mean, o.sigma, o.min, o.max);
    std::printf("%-14s %-30s %-30s %6.2f  %ld %ld\n", files[k].name,
                cat_cell.data(), ostrel_cell.data(), o.mean / c.mean,
                o.rss_kb, c.rss_kb);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("usage: ostrel_bench OSTREL FOLDER [ROUNDS]\n", stderr);
    return 1;
  }
  const std::string ostrel = argv[1];
  const std::string folder = argv[2];
  const int rounds = argc == 4 ? std::atoi(argv[3]) : 7;
  if (rounds < 5) {
    std::fputs("at least 5 rounds\n", stderr);
    return 1;
  }
  const bool have_sox = OnPath("sox");
  const bool have_valgrind = OnPath("valgrind");

  std::array<File, 4> files = {File("s16-1h.wav", "3600"),
                               File("s24-20min.wav", "1200"),
                               File("f32-20min.wav", "1200"),
                               File("s16-60s.wav", "60")};
  for (File& f : files) {
    f.path = folder + "/" + f.name;
    struct stat st {};
    if (::stat(f.path.c_str(), &st) != 0) {
      std::perror(f.path.c_str());
      return 1;
    }
    f.mb = static_cast<double>(st.st_size) / 1e6;
    f.cat.args = {"cat", f.path};
    f.ostrel.args = {ostrel, f.path, "0", f.seconds};
    f.sox.args = {"sox", f.path, "-n", "stats"};
  }
  const std::string fine_path = files[3].path;
  Case fine;
  fine.args = {ostrel, fine_path, "0", "60", "1"};
  Case floor;
  floor.args = {"true"};

  for (const File& f : files) Run(f.cat.args);  // warm the page cache
  for (int r = 0; r < rounds; ++r) {
    for (File& f : files) {
      f.cat.samples.push_back(Run(f.cat.args));
      f.ostrel.samples.push_back(Run(f.ostrel.args));
      if (have_sox) f.sox.samples.push_back(Run(f.sox.args));
    }
    fine.samples.push_back(Run(fine.args));
    floor.samples.push_back(Run(floor.args));
  }

  std::printf("medians of %d interleaved rounds, warm page cache, "
              "output to /dev/null\n",
              rounds);
  std::printf("%-14s %6s %7s %9s %6s %9s %8s %9s  %s\n", "file", "MB",
              "cat ms", "ostrel ms", "ratio", "cpu ratio", "sox ms",
              "sox/ostr", "peak RSS KB: ostrel cat sox");
  for (const File& f : files) {
    const double o = f.ostrel.MedianMs();
    const double c = f.cat.MedianMs();
    const double cpu = f.ostrel.MedianMs(&Sample::cpu_ms) /
                       f.cat.MedianMs(&Sample::cpu_ms);
    std::printf("%-14s %6.1f %7.1f %9.1f %6.2f %9.2f", f.name, f.mb, c, o,
                o / c, cpu);
    if (have_sox) {
      const double s = f.sox.MedianMs();
      std::printf(" %8.1f %9.1f  %ld %ld %ld\n", s, s / o, f.ostrel.PeakKb(),
                  f.cat.PeakKb(), f.sox.PeakKb());
    } else {
      std::printf(" %8s %9s  %ld %ld -\n", "-", "-", f.ostrel.PeakKb(),
                  f.cat.PeakKb());
    }
  }
  if (!have_sox) std::puts("sox not installed: no sox column");
  constexpr double kFineLines = 60.0 * 44100;
  const double fine_ms = fine.MedianMs();
  std::printf("window of 1 frame, ostrel s16-60s.wav 0 60 1: %.0f lines "
              "in %.1f ms, %.2f million lines/s, peak RSS %ld KB\n",
              kFineLines, fine_ms, kFineLines / fine_ms / 1e3, fine.PeakKb());
  std::printf("floor: true, peak RSS %ld KB (what a forked child starts "
              "with)\n",
              floor.PeakKb());
  PipeFigures(ostrel, files, rounds);

  if (!have_valgrind) {
    std::puts("valgrind not installed: no instruction counts");
    return 0;
  }
  // Two interval lengths, so start-up and the summary cancel out.
  const double whole = Instructions(folder, {ostrel, fine_path, "0", "60"});
  const double head = Instructions(folder, {ostrel, fine_path, "0", "1"});
  const double whole1 =
      Instructions(folder, {ostrel, fine_path, "0", "60", "1"});
  const double head1 = Instructions(folder, {ostrel, fine_path, "0", "1", "1"});
  constexpr double kFrames = 59.0 * 44100;
  std::printf("callgrind, s16-60s.wav, 0-60 s less 0-1 s: %.2f instructions "
              "per sample (default window), %.1f per output line (window of "
              "1 frame)\n",
              (whole - head) / (2 * kFrames), (whole1 - head1) / kFrames);
  return 0;
}
