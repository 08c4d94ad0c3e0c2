#include "corvane/cli/app.hpp"

#include <unistd.h>

#include <array>
#include <csignal>
#include <functional>
#include <new>
#include <optional>
#include <type_traits>

#include <fmt/format.h>

#include "corvane/contracts/json.hpp"
#include "corvane/files/files.hpp"
#include "corvane/router/router.hpp"
#include "corvane/state/store.hpp"
#include "output.hpp"
#include "varnholt/contracts/time.hpp"
#include "varnholt/crypto/sign.hpp"
#include "varnholt/json/writer.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::cli {

// What the --json forms of the results hold; written with their members in
// byte order of their names.
struct TenantResult {
  std::string tenant;
};
struct ConnectorResult {
  std::string connector;
  std::string status;
};
struct QueuedResult {
  std::uint64_t queued = 0;
};
// One connector of `list --json`.
struct ConnectorSummary {
  std::uint64_t classes = 0;
  std::string connector;
  std::uint64_t events = 0;
  std::string kind;
  std::string name;
  std::string status;
};

}  // namespace corvane::cli

namespace varnholt::json {
template <>
struct Describe<corvane::cli::TenantResult> {
  using T = corvane::cli::TenantResult;
  static constexpr std::string_view expecting = "struct TenantResult";
  static constexpr std::tuple members{Member{"tenant", &T::tenant}};
};
template <>
struct Describe<corvane::cli::ConnectorResult> {
  using T = corvane::cli::ConnectorResult;
  static constexpr std::string_view expecting = "struct ConnectorResult";
  static constexpr std::tuple members{Member{"connector", &T::connector},
                                      Member{"status", &T::status}};
};
template <>
struct Describe<corvane::cli::QueuedResult> {
  using T = corvane::cli::QueuedResult;
  static constexpr std::string_view expecting = "struct QueuedResult";
  static constexpr std::tuple members{Member{"queued", &T::queued}};
};
template <>
struct Describe<corvane::cli::ConnectorSummary> {
  using T = corvane::cli::ConnectorSummary;
  static constexpr std::string_view expecting = "struct ConnectorSummary";
  static constexpr std::tuple members{
      Member{"classes", &T::classes}, Member{"connector", &T::connector},
      Member{"events", &T::events},   Member{"kind", &T::kind},
      Member{"name", &T::name},       Member{"status", &T::status}};
};
}  // namespace varnholt::json

namespace corvane::cli {
namespace {

using contracts::DataClass;
using varnholt::contracts::Timestamp;
using varnholt::crypto::SigningKey;
using Result = std::expected<void, std::string>;

// A listed name is padded to this many characters (a longer one is printed
// whole).
constexpr std::size_t kNameColumn = 16;

// How a command uses the state file.
enum class Effect : std::uint8_t {
  Creates,  // makes a new state file
  Reads,    // reads it and never writes it
  Changes,  // reads it under its lock and replaces it
};

// Prints a command's result once its change is saved: the JSON form with
// --json, the text lines otherwise.
using Printer = std::function<Result(Output&, bool json)>;

// What one command works on.
struct Session {
  Session(const Cli& command_line, Timestamp time) : cli(command_line), now(time) {}

  const Cli& cli;
  Timestamp now;
  state::Store* store = nullptr;  // the state file, for every command but init
  state::CliState created;        // the new state of init
  std::optional<SigningKey> key;  // derived from the seed of a state that was read
  // Every connector's signature check, started while the log is still read.
  std::optional<router::SignatureChecks> checks;

  [[nodiscard]] state::CliState& state() { return store != nullptr ? store->state() : created; }
  // The bridge's key pair, derived from the seed when a command first needs
  // it (listing needs none).
  [[nodiscard]] const SigningKey& signing_key() {
    if (!key) key.emplace(SigningKey::from_bytes(state().approval_seed));
    return *key;
  }
};

struct CommandSpec {
  Effect effect;
  // Checks every connector's signature (started as soon as the connectors and
  // the seed are read, so that it overlaps with reading the log).
  bool checks_signatures;
  std::expected<Printer, std::string> (*run)(Session&, const Command&);
};

// Starts the signature checks as soon as reading has found what they need.
class SignatureCheckStarter final : public state::ReadObserver {
 public:
  explicit SignatureCheckStarter(Session& session) : session_(session) {}
  void on_connectors(const state::CliState& state) override {
    session_.key.emplace(SigningKey::from_bytes(state.approval_seed));
    session_.checks.emplace(state.router.connectors, session_.key->verifying_key());
  }

 private:
  Session& session_;
};

// A value in its --json form: compact, members in byte order of their names.
template <typename T>
void print_json(Output& out, const T& value) {
  std::string text;
  varnholt::json::Writer writer(text, varnholt::json::Writer::Layout::Compact,
                                varnholt::json::Writer::Order::Sorted);
  varnholt::json::write_value(writer, value);
  out.append(text);
}

// One line of text or one JSON value.
template <typename T>
Printer print_one(T json_value, std::string text) {
  return [json_value = std::move(json_value), text = std::move(text)](Output& out,
                                                                      bool json) -> Result {
    if (json) {
      print_json(out, json_value);
    } else {
      out.append(text);
    }
    out.end_line();
    return {};
  };
}

std::string list_line(const contracts::InstalledConnector& connector) {
  const auto& manifest = connector.manifest;
  const std::size_t padding =
      kNameColumn - std::min(kNameColumn, varnholt::text::char_count(manifest.name));
  return fmt::format("{}  {}{}  {}  {} class(es), {} event type(s)",
                     manifest.connector_id.to_string(), manifest.name, std::string(padding, ' '),
                     contracts::display(connector.status), manifest.allowed_classes.size(),
                     manifest.allowed_event_types.size());
}

ConnectorSummary summary_of(const contracts::InstalledConnector& connector) {
  const auto& manifest = connector.manifest;
  return {manifest.allowed_classes.size(),
          manifest.connector_id.to_string(),
          manifest.allowed_event_types.size(),
          std::string(contracts::kind_name(manifest.kind)),
          manifest.name,
          std::string(contracts::display(connector.status))};
}

std::string delivery_line(const contracts::Delivery& delivery) {
  std::string status;
  varnholt::json::Writer writer(status, varnholt::json::Writer::Layout::Compact);
  varnholt::json::write_value(writer, delivery.status);
  return fmt::format("{}  {}  {}", delivery.delivery_id.to_string(), delivery.event_type, status);
}

// --- the commands ---------------------------------------------------------------------

std::expected<Printer, std::string> run_init(Session& session, const Command&) {
  const auto& path = session.cli.state;
  if (state::state_exists(path)) {
    return std::unexpected(files::display_path(path) + " already exists");
  }
  const auto key = SigningKey::generate();
  auto& state = session.created;
  state.tenant_id = varnholt::contracts::TenantId::new_v4();
  state.approval_seed = key.seed();
  state.router.policy = router::RetryPolicy{};
  const auto tenant = state.tenant_id.to_string();
  return print_one(TenantResult{tenant}, "bridge initialised for tenant " + tenant);
}

std::expected<Printer, std::string> run_list(Session& session, const Command&) {
  return [&state = session.state()](Output& out, bool json) -> Result {
    const auto& connectors = state.router.connectors;
    if (json) {
      out.append("[");
      bool first = true;
      for (const auto& [id, connector] : connectors) {
        if (!first) out.append(",");
        first = false;
        print_json(out, summary_of(connector));
      }
      out.append("]");
    } else {
      bool first = true;
      for (const auto& [id, connector] : connectors) {
        if (!first) out.end_line();
        first = false;
        out.append(list_line(connector));
      }
    }
    out.end_line();
    return {};
  };
}

// Prints each delivery it is given as the next of the log.
class DeliveryPrinter final : public state::ReadObserver {
 public:
  DeliveryPrinter(Output& out, bool json) : out_(out), json_(json) {}
  void on_delivery(const contracts::Delivery& delivery) override {
    line_.clear();
    if (json_) {
      if (!first_) line_.push_back(',');
      state::append_delivery_json(line_, delivery);
      out_.append(line_);
    } else {
      if (!first_) out_.end_line();
      out_.append(delivery_line(delivery));
    }
    first_ = false;
  }

 private:
  Output& out_;
  bool json_;
  bool first_ = true;
  std::string line_;
};

std::expected<Printer, std::string> run_deliveries(Session& session, const Command&) {
  // Only a checked file is printed from: the log is read a second time, from
  // the same open file, as it is printed.
  return [&store = *session.store](Output& out, bool json) -> Result {
    if (json) out.append("[");
    DeliveryPrinter printer(out, json);
    if (auto printed = store.for_each_delivery(printer); !printed) return printed;
    if (json) out.append("]");
    out.end_line();
    return {};
  };
}

// The data classes named by `texts`, in order; the first unknown name fails.
std::expected<std::vector<DataClass>, std::string> parse_data_classes(
    const std::vector<std::string>& texts) {
  std::vector<DataClass> classes;
  classes.reserve(texts.size());
  for (const auto& text : texts) {
    auto parsed = parse_data_class(text);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    classes.push_back(*parsed);
  }
  return classes;
}

std::expected<Printer, std::string> run_install(Session& session, const Command& command) {
  const auto& install = std::get<command::Install>(command);
  auto classes = parse_data_classes(install.classes);
  if (!classes) return std::unexpected(std::move(classes.error()));
  auto& state = session.state();
  auto id = router::install_connector(state.router, state.tenant_id, install.name,
                                      install.endpoint_ref, install.secret_ref, install.events,
                                      std::set<DataClass>(classes->begin(), classes->end()),
                                      session.signing_key(), session.now);
  if (!id) return std::unexpected(std::move(id.error()));
  const auto text_id = id->to_string();
  const auto status = contracts::ConnectorStatus::PendingApproval;
  return print_one(
      ConnectorResult{text_id, std::string(contracts::name(status))},
      fmt::format("connector {} installed \u2014 PENDING APPROVAL (receives nothing yet)",
                  text_id));
}

std::expected<Printer, std::string> run_approve(Session& session, const Command& command) {
  const auto& approve = std::get<command::Approve>(command);
  const contracts::ConnectorId id(approve.connector);
  if (auto approved = router::approve_connector(session.state().router, id, approve.workflow_ref,
                                                session.signing_key().verifying_key());
      !approved) {
    return std::unexpected(std::move(approved.error()));
  }
  const auto text_id = id.to_string();
  return print_one(
      ConnectorResult{text_id, std::string(contracts::name(contracts::ConnectorStatus::Approved))},
      fmt::format("connector {} approved via {}", text_id, approve.workflow_ref));
}

std::expected<Printer, std::string> run_route(Session& session, const Command& command) {
  const auto& route = std::get<command::Route>(command);
  auto classes = parse_data_classes(route.classes);
  if (!classes) return std::unexpected(std::move(classes.error()));
  auto& state = session.state();
  contracts::BridgeEvent event{route.event_type, session.now, state.tenant_id, {}};
  for (std::size_t i = 0; i < classes->size(); ++i) {
    event.fields.emplace(fmt::format("f{}", i), (*classes)[i]);
  }
  const std::size_t queued = state.router.route(event, *session.checks, session.now);
  return print_one(QueuedResult{queued}, fmt::format("{} delivery(ies) queued", queued));
}

// One entry per alternative of Command, in its order.
constexpr std::array<CommandSpec, std::variant_size_v<Command>> kCommands = {{
    {Effect::Creates, false, run_init},
    {Effect::Changes, false, run_install},
    {Effect::Changes, false, run_approve},
    {Effect::Reads, false, run_list},
    {Effect::Changes, true, run_route},
    {Effect::Reads, false, run_deliveries},
}};
static_assert(std::is_same_v<std::variant_alternative_t<0, Command>, command::Init> &&
                  std::is_same_v<std::variant_alternative_t<1, Command>, command::Install> &&
                  std::is_same_v<std::variant_alternative_t<2, Command>, command::Approve> &&
                  std::is_same_v<std::variant_alternative_t<3, Command>, command::List> &&
                  std::is_same_v<std::variant_alternative_t<4, Command>, command::Route> &&
                  std::is_same_v<std::variant_alternative_t<5, Command>, command::Deliveries>,
              "kCommands follows the order of Command");

// Ends the run once its result is printed (or could not be).
Result finish(const CommandSpec& entry, const Printer& print, const Cli& cli, Output& out) {
  if (auto printed = print(out, cli.json); !printed) return printed;
  const std::error_code failure = out.flush();
  // A reader that went away (`corvanectl deliveries | head -1`) wanted no
  // more; that is not a failure.
  if (!failure || failure == std::errc::broken_pipe) return {};
  if (entry.effect == Effect::Reads) return std::unexpected(files::describe(failure));
  return std::unexpected("the change was saved, but its result could not be printed: " +
                         files::describe(failure));
}

}  // namespace

std::expected<DataClass, std::string> parse_data_class(std::string_view text) {
  if (auto parsed = contracts::data_class_from_name(text)) return *parsed;
  return std::unexpected(fmt::format("unknown data class '{}'", text));
}

std::expected<void, std::string> run(const Cli& cli, Output& out) {
  // One clock reading per run: every time this run records is this instant.
  Session session(cli, Timestamp::now());
  const CommandSpec& entry = kCommands[cli.command.index()];

  if (entry.effect == Effect::Creates) {
    auto print = entry.run(session, cli.command);
    if (!print) return std::unexpected(std::move(print.error()));
    if (auto created = state::Store::create(cli.state, session.created); !created) return created;
    return finish(entry, *print, cli, out);
  }

  const auto access = entry.effect == Effect::Changes ? state::Access::Change : state::Access::Read;
  SignatureCheckStarter starter(session);
  auto store = state::Store::open(cli.state, access, entry.checks_signatures ? &starter : nullptr);
  if (!store) return std::unexpected(std::move(store.error()));
  session.store = &*store;
  auto print = entry.run(session, cli.command);
  if (!print) return std::unexpected(std::move(print.error()));
  if (entry.effect == Effect::Changes) {
    if (auto saved = store->save(); !saved) return saved;
    // Printing may block on a slow reader: other runs need not wait for it.
    store->release();
  }
  return finish(entry, *print, cli, out);
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
