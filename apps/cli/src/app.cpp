#include "corvane/cli/app.hpp"

#include <unistd.h>

#include <csignal>
#include <new>
#include <optional>
#include <string>

#include "commands.hpp"
#include "corvane/files/files.hpp"
#include "corvane/files/signal_hold.hpp"
#include "corvane/state/store.hpp"
#include "output.hpp"
#include "varnholt/contracts/time.hpp"

namespace corvane::cli {
namespace {

using Result = std::expected<void, std::string>;

// Ends the run once its result is printed (or could not be).
Result print(const CommandRow& row, const Printer& printer, const Cli& cli, Output& out) {
  if (auto printed = printer(out, cli.json); !printed) return printed;
  const std::error_code failure = out.flush();
  // A reader that went away (`corvanectl deliveries | head -1`) wanted no
  // more; that is not a failure.
  if (!failure || failure == std::errc::broken_pipe) return {};
  if (row.effect == Effect::Reads) return std::unexpected(files::describe(failure));
  return std::unexpected("the change was saved, but its result could not be printed: " +
                         files::describe(failure));
}

// Lines for a person at a terminal, on standard error; scripts and pipes
// see none of them.
void tell(const std::string& line) {
  if (!files::is_terminal(STDERR_FILENO)) return;
  (void)files::write_all(files::System::real(), STDERR_FILENO, escape_controls(line) + "\n");
}

// A wait for another run's lock is said once it has lasted a second.
files::WaitNotice lock_notice(const std::filesystem::path& path) {
  if (!files::is_terminal(STDERR_FILENO)) return {};
  return [shown = files::display_path(path)](std::optional<pid_t> holder) {
    tell("waiting for the lock on " + shown +
         (holder ? " (held by process " + std::to_string(*holder) + ")" : std::string()) + " ...");
  };
}

// The seed is the bridge's private key: a state file that others than its
// owner and group may read or write is pointed out.
void warn_if_exposed(const std::filesystem::path& path, mode_t mode) {
  if ((mode & (S_IROTH | S_IWOTH)) == 0) return;
  const std::string shown = files::display_path(path);
  tell("warning: " + shown +
       " holds the bridge's signing seed and others may read or write it; run: chmod 600 " + shown);
}

// init: the work makes a new state, which is then written as a new file.
Result create(const CommandRow& row, const Work& work, const Cli& cli,
              varnholt::contracts::Timestamp now, Output& out) {
  state::CliState created;
  Session session(cli.state, created, now, nullptr, nullptr);
  auto printer = work(session);
  if (!printer) return std::unexpected(std::move(printer.error()));
  files::SignalHold held;
  if (auto saved = state::Store::create(cli.state, created, held); !saved) return saved;
  // The file is made: the run ends as a success, whatever signal comes now.
  held.keep();
  return print(row, *printer, cli, out);
}

}  // namespace

// A run goes step by step, each step owning what it makes: the command line
// was parsed; the command's arguments are checked (before the state file is
// touched); the state file is read, under its lock for a change, and the
// signatures are checked while its log is read; the work runs on the state;
// a changed state is saved; the result is printed.
std::expected<void, std::string> run(const Cli& cli, Output& out) {
  const CommandRow& row = row_of(cli.command);
  // One clock reading per run: every time this run records is this instant.
  const auto now = varnholt::contracts::Timestamp::now();

  auto work = row.run(cli.command);
  if (!work) return std::unexpected(std::move(work.error()));
  if (row.effect == Effect::Creates) return create(row, *work, cli, now, out);

  // The store owns the state and the threads that check its signatures; any
  // failure from here on ends them with it.
  auto store = state::Store::open(
      cli.state, row.effect == Effect::Changes ? state::Access::Change : state::Access::Read,
      row.verifies ? state::Checks::Signatures : state::Checks::None, files::System::real(),
      state::kLockTimeout, lock_notice(cli.state));
  if (!store) return std::unexpected(std::move(store.error()));
  warn_if_exposed(cli.state, store->mode());
  Session session(cli.state, store->state(), now, store->signature_checks(), &*store);
  auto printer = (*work)(session);
  if (!printer) return std::unexpected(std::move(printer.error()));
  if (row.effect == Effect::Changes) {
    // SIGINT, SIGTERM, SIGHUP and SIGQUIT wait from the moment the new state
    // reaches the file's name: a signal before that leaves the old file and
    // ends the run; once the change is in place, the run finishes and says
    // so, and the signals stay held until it exits.
    files::SignalHold held;
    if (auto saved = store->save(held); !saved) return saved;
    held.keep();
    // Printing may block on a slow reader: other runs need not wait for it.
    store->release();
  }
  return print(row, *printer, cli, out);
}

int main_entry(int argc, const char* const* argv) {
  // A closed output pipe is a write error to handle, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    auto parsed = parse_command_line(argc, argv);
    if (const auto* exit = std::get_if<ParserExit>(&parsed)) return exit->status;
    Output out(files::System::real(), STDOUT_FILENO, files::is_terminal(STDOUT_FILENO));
    auto result = run(std::get<Cli>(parsed), out);
    if (result) return 0;
    report_error(result.error());
  } catch (const std::bad_alloc&) {
    report_error("out of memory");
  }
  return 1;
}

void report_error(std::string_view message) {
  // Messages quote stored and typed text: on a terminal its control
  // characters are shown escaped.
  std::string line = "error: ";
  line += files::is_terminal(STDERR_FILENO) ? escape_controls(message) : std::string(message);
  line.push_back('\n');
  (void)files::write_all(files::System::real(), STDERR_FILENO, line);
}

}  // namespace corvane::cli
