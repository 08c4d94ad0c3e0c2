#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Runs the real corvanectl binary for end-to-end tests.
namespace corvane::e2e {

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
};

struct RunOptions {
  // Extra environment variables (the child otherwise gets a minimal
  // environment: PATH, HOME=cwd, TZ=UTC).
  std::map<std::string, std::string> env;
  // Written to the child's stdin (empty: stdin is /dev/null).
  std::string input;
  // The child's file-creation mask (unset: inherited).
  std::optional<unsigned> umask;
  // Run the child as this user and group (unset: as the tests run). Tests of
  // file permissions need an unprivileged user, since root may write anything.
  std::optional<std::pair<unsigned, unsigned>> user;
  // Connect stdout or stderr to a pseudo-terminal instead of a pipe (raw
  // mode: line feeds are not turned into CR LF).
  bool stdout_terminal = false;
  bool stderr_terminal = false;
  // The width the standard output's terminal says it has (0: none said).
  unsigned short terminal_columns = 0;
  // Standard output is /dev/full: every write fails with ENOSPC.
  bool stdout_full = false;
};

// Runs corvanectl with `args` (each passed as raw bytes, so non-UTF-8 text is
// possible) in the working directory `cwd`.
RunResult run_corvanectl(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                         const RunOptions& options = {});

// A fresh temporary directory, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(const std::string& name) const {
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

// Whole-file helpers for checking state files byte for byte.
std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

}  // namespace corvane::e2e
