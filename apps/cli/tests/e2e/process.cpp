#include "process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <utility>

#ifndef CORVANECTL_PATH
#error "CORVANECTL_PATH must name the corvanectl binary under test"
#endif

namespace corvane::e2e {
namespace {

// A pipe whose ends are closed on destruction and never leak into the child
// beyond the descriptors it is given explicitly.
class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_.data(), O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe2: " << std::strerror(errno);
      fds_ = {-1, -1};
    }
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  // A pseudo-terminal instead: its master side is read, its slave side given
  // to the child.
  static Pipe terminal(unsigned short columns = 0) {
    Pipe pipe;
    pipe.close_read();
    pipe.close_write();
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty: " << std::strerror(errno);
      return pipe;
    }
    termios mode{};
    ::tcgetattr(slave, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
    if (columns > 0) {
      const winsize size{24, columns, 0, 0};
      ::ioctl(slave, TIOCSWINSZ, &size);
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    pipe.fds_ = {master, slave};
    return pipe;
  }
  Pipe(Pipe&& other) noexcept : fds_(std::exchange(other.fds_, {-1, -1})) {}
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  [[nodiscard]] bool ok() const { return fds_[0] >= 0; }
  [[nodiscard]] int read_end() const { return fds_[0]; }
  [[nodiscard]] int write_end() const { return fds_[1]; }
  void close_read() { close_fd(fds_[0]); }
  void close_write() { close_fd(fds_[1]); }

 private:
  static void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  std::array<int, 2> fds_{-1, -1};
};

std::vector<std::string> child_environment(const std::filesystem::path& cwd,
                                           const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> env;
  const char* path = std::getenv("PATH");
  env["PATH"] = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  env["HOME"] = cwd.string();
  env["TZ"] = "UTC";
  // Sanitizer settings reach the program under test, so that a report in it
  // fails the test with the sanitizers' own exit status.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env[name] = value;
  }
  for (const auto& [name, value] : extra) env[name] = value;
  std::vector<std::string> entries;
  entries.reserve(env.size());
  for (const auto& [name, value] : env) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> c_array(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const char* cwd, int stdin_fd, int stdout_fd, int stderr_fd,
                             char* const* argv, char* const* envp, const RunOptions& options) {
  ::signal(SIGPIPE, SIG_DFL);  // the harness ignores it; the program under test must not
  if (options.umask) ::umask(static_cast<mode_t>(*options.umask));
  if (options.user && (::setgroups(0, nullptr) != 0 || ::setgid(options.user->second) != 0 ||
                       ::setuid(options.user->first) != 0)) {
    ::_exit(125);
  }
  if (stdin_fd < 0) stdin_fd = ::open("/dev/null", O_RDONLY);
  if (stdin_fd < 0 || ::dup2(stdin_fd, STDIN_FILENO) < 0 || ::dup2(stdout_fd, STDOUT_FILENO) < 0 ||
      ::dup2(stderr_fd, STDERR_FILENO) < 0 || ::chdir(cwd) != 0) {
    ::_exit(126);
  }
  if (options.stdout_full) {
    const int full = ::open("/dev/full", O_WRONLY);
    if (full < 0 || ::dup2(full, STDOUT_FILENO) < 0) ::_exit(126);
  }
  ::execve(argv[0], argv, envp);
  ::_exit(127);
}

// Moves data between the child's pipes until both of its output streams are
// closed. Everything is multiplexed with poll() so that a child filling one
// pipe while the harness waits on another can never deadlock.
void pump(Pipe& in, const std::string& input, Pipe& out, Pipe& err, RunResult& result) {
  std::size_t written = 0;
  if (in.ok() && input.empty()) in.close_write();
  if (in.write_end() >= 0) ::fcntl(in.write_end(), F_SETFL, O_NONBLOCK);

  std::array<char, 65536> buffer{};
  while (out.read_end() >= 0 || err.read_end() >= 0) {
    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    const auto watch = [&](int fd, short events) {
      if (fd >= 0) fds[count++] = pollfd{fd, events, 0};
    };
    watch(out.read_end(), POLLIN);
    watch(err.read_end(), POLLIN);
    watch(in.write_end(), POLLOUT);
    if (::poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "poll: " << std::strerror(errno);
      return;
    }
    for (nfds_t i = 0; i < count; ++i) {
      const pollfd& p = fds[i];
      if (p.revents == 0) continue;
      if (p.fd == in.write_end()) {
        const ssize_t n = ::write(p.fd, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<std::size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
          in.close_write();  // done, or the child stopped reading (EPIPE)
        }
        continue;
      }
      const ssize_t n = ::read(p.fd, buffer.data(), buffer.size());
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        (p.fd == out.read_end() ? out : err).close_read();
        continue;
      }
      std::string& sink = p.fd == out.read_end() ? result.out : result.err;
      sink.append(buffer.data(), static_cast<std::size_t>(n));
    }
  }
}

// The binary as another user can run it. The build tree may lie where that
// user cannot go (a clone in root's home), so it is copied once into a
// directory everyone may enter, removed when the tests end.
const std::string& binary_for_any_user() {
  static const struct Copy {
    std::filesystem::path directory;
    std::string binary;
    Copy() {
      std::string pattern = "/tmp/corvanectl-bin-XXXXXX";
      if (::mkdtemp(pattern.data()) == nullptr) return;
      directory = pattern;
      std::filesystem::permissions(directory, std::filesystem::perms(0755));
      const auto target = directory / "corvanectl";
      std::error_code error;
      std::filesystem::copy_file(CORVANECTL_PATH, target, error);
      if (!error) binary = target.string();
    }
    ~Copy() {
      std::error_code ignored;
      std::filesystem::remove_all(directory, ignored);
    }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;
  } copy;
  if (copy.binary.empty()) ADD_FAILURE() << "cannot copy " << CORVANECTL_PATH << " into /tmp";
  return copy.binary;
}

}  // namespace

RunResult run_corvanectl(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                         const RunOptions& options) {
  // A write to a child that exited early must fail with EPIPE, not kill the tests.
  static const bool sigpipe_ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)sigpipe_ignored;

  RunResult result;
  std::vector<std::string> argv_strings{options.user ? binary_for_any_user()
                                                     : std::string(CORVANECTL_PATH)};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = child_environment(cwd, options.env);
  // Everything the child needs is prepared before fork().
  std::vector<char*> argv = c_array(argv_strings);
  std::vector<char*> envp = c_array(env_strings);
  const std::string cwd_text = cwd.string();

  Pipe in;
  Pipe out = options.stdout_terminal ? Pipe::terminal(options.terminal_columns) : Pipe();
  Pipe err = options.stderr_terminal ? Pipe::terminal() : Pipe();
  if (!in.ok() || !out.ok() || !err.ok()) return result;
  const int child_stdin = options.input.empty() ? -1 : in.read_end();

  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    exec_child(cwd_text.c_str(), child_stdin, out.write_end(), err.write_end(), argv.data(),
               envp.data(), options);
  }
  in.close_read();
  out.close_write();
  err.close_write();
  pump(in, options.input, out, err, result);
  in.close_write();

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      ADD_FAILURE() << "waitpid: " << std::strerror(errno);
      return result;
    }
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TempDir::TempDir() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string base = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
  std::string pattern = base + "/corvanectl-e2e-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp in " << base << ": " << std::strerror(errno);
    return;
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) ADD_FAILURE() << "cannot write " << path;
}

}  // namespace corvane::e2e
