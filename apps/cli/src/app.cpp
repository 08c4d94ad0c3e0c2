#include "corvane/cli/app.hpp"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <type_traits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "corvane/cli/state.hpp"
#include "corvane/contracts/json.hpp"
#include "corvane/router/router.hpp"
#include "varnholt/contracts/time.hpp"
#include "varnholt/crypto/sign.hpp"
#include "varnholt/json/writer.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::cli {
namespace {

using contracts::DataClass;
using varnholt::contracts::Timestamp;
using varnholt::crypto::SigningKey;
using Result = std::expected<void, std::string>;

// How long a changing command waits for another run to finish with the file.
constexpr std::chrono::seconds kLockTimeout{30};

// Writes all of `text` to standard output.
Result write_stdout(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n >= 0) {
      text.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno != EINTR) {
      return std::unexpected(os_error_description(errno));
    }
  }
  return {};
}

// Prints a command's result: its JSON value (compact, members in key order)
// with --json, its text otherwise; then one line feed. Only the form that is
// printed is built.
template <typename MakeJson, typename MakeText>
Result emit(bool json, MakeJson&& make_json, MakeText&& make_text) {
  std::string out;
  if (json) {
    varnholt::json::write_compact(make_json(), out);
  } else {
    out = make_text();
  }
  out.push_back('\n');
  return write_stdout(out);
}

std::string list_line(const contracts::InstalledConnector& connector) {
  const auto& manifest = connector.manifest;
  const std::size_t padding =
      16 - std::min<std::size_t>(16, varnholt::text::char_count(manifest.name));
  return fmt::format("{}  {}{}  {}  {} class(es), {} event type(s)",
                     manifest.connector_id.to_string(), manifest.name, std::string(padding, ' '),
                     contracts::display(connector.status), manifest.allowed_classes.size(),
                     manifest.allowed_event_types.size());
}

nlohmann::json connector_summary(const contracts::InstalledConnector& connector) {
  const auto& manifest = connector.manifest;
  return {{"classes", manifest.allowed_classes.size()},
          {"connector", manifest.connector_id.to_string()},
          {"events", manifest.allowed_event_types.size()},
          {"kind", contracts::kind_name(manifest.kind)},
          {"name", manifest.name},
          {"status", contracts::display(connector.status)}};
}

std::string delivery_line(const contracts::Delivery& delivery) {
  std::string status;
  varnholt::json::Writer writer(status, varnholt::json::Writer::Layout::Compact);
  contracts::write(writer, delivery.status);
  return fmt::format("{}  {}  {}", delivery.delivery_id.to_string(), delivery.event_type, status);
}

Result run_init(const Cli& cli) {
  if (state_exists(cli.state)) {
    return std::unexpected(fmt::format("{} already exists", display_path(cli.state)));
  }
  const auto key = SigningKey::generate();
  CliState state;
  state.tenant_id = varnholt::contracts::TenantId::new_v4();
  state.approval_seed = key.seed();
  state.router.policy = router::RetryPolicy{5, 30, 3600};
  if (auto saved = save_state(cli.state, state, SaveMode::CreateNew); !saved) return saved;
  const auto tenant = state.tenant_id.to_string();
  return emit(
      cli.json,
      [&] {
        return nlohmann::json{{"tenant", tenant}};
      },
      [&] { return "bridge initialised for tenant " + tenant; });
}

Result run_list(const Cli& cli, const CliState& state) {
  const auto& connectors = state.router.connectors;
  return emit(
      cli.json,
      [&] {
        auto array = nlohmann::json::array();
        for (const auto& [id, connector] : connectors)
          array.push_back(connector_summary(connector));
        return array;
      },
      [&] {
        std::string text;
        for (const auto& [id, connector] : connectors) {
          if (&connector != &connectors.begin()->second) text.push_back('\n');
          text += list_line(connector);
        }
        return text;
      });
}

Result run_deliveries(const Cli& cli, const CliState& state) {
  const auto& deliveries = state.router.deliveries;
  return emit(
      cli.json,
      [&] {
        auto array = nlohmann::json::array();
        for (const auto& delivery : deliveries) array.push_back(delivery);
        return array;
      },
      [&] {
        std::string text;
        for (std::size_t i = 0; i < deliveries.size(); ++i) {
          if (i > 0) text.push_back('\n');
          text += delivery_line(deliveries[i]);
        }
        return text;
      });
}

Result run_install(const Cli& cli, const command::Install& install, CliState& state,
                   const SigningKey& key, Timestamp now) {
  std::set<DataClass> classes;
  for (const auto& text : install.classes) {
    auto parsed = parse_data_class(text);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    classes.insert(*parsed);
  }
  auto id =
      router::install_connector(state.router, state.tenant_id, install.name, install.endpoint_ref,
                                install.secret_ref, install.events, classes, key, now);
  if (!id) return std::unexpected(std::move(id.error()));
  if (auto saved = save_state(cli.state, state); !saved) return saved;
  const auto text_id = id->to_string();
  return emit(
      cli.json,
      [&] {
        return nlohmann::json{{"connector", text_id}, {"status", "pending_approval"}};
      },
      [&] {
        return fmt::format("connector {} installed \u2014 PENDING APPROVAL (receives nothing yet)",
                           text_id);
      });
}

Result run_approve(const Cli& cli, const command::Approve& approve, CliState& state,
                   const SigningKey& key) {
  const contracts::ConnectorId id(approve.connector);
  if (auto approved =
          router::approve_connector(state.router, id, approve.workflow_ref, key.verifying_key());
      !approved) {
    return approved;
  }
  if (auto saved = save_state(cli.state, state); !saved) return saved;
  const auto text_id = id.to_string();
  return emit(
      cli.json,
      [&] {
        return nlohmann::json{{"connector", text_id}, {"status", "approved"}};
      },
      [&] { return fmt::format("connector {} approved via {}", text_id, approve.workflow_ref); });
}

Result run_route(const Cli& cli, const command::Route& route, CliState& state,
                 const SigningKey& key, Timestamp now) {
  contracts::BridgeEvent event{route.event_type, now, state.tenant_id, {}};
  for (std::size_t i = 0; i < route.classes.size(); ++i) {
    auto parsed = parse_data_class(route.classes[i]);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    event.fields.emplace(fmt::format("f{}", i), *parsed);
  }
  const std::size_t queued = state.router.route(event, key.verifying_key(), now);
  if (auto saved = save_state(cli.state, state); !saved) return saved;
  return emit(
      cli.json,
      [&] {
        return nlohmann::json{{"queued", queued}};
      },
      [&] { return fmt::format("{} delivery(ies) queued", queued); });
}

}  // namespace

std::expected<DataClass, std::string> parse_data_class(std::string_view text) {
  if (auto parsed = contracts::data_class_from_name(text)) return *parsed;
  return std::unexpected(fmt::format("unknown data class '{}'", text));
}

std::expected<void, std::string> run(const Cli& cli) {
  // One clock reading per run: every time this run records is this instant.
  const auto now = Timestamp::now();
  if (std::holds_alternative<command::Init>(cli.command)) return run_init(cli);

  // Commands that change the state hold the lock from reading to replacing.
  std::optional<StateLock> lock;
  const bool changes_state = std::holds_alternative<command::Install>(cli.command) ||
                             std::holds_alternative<command::Approve>(cli.command) ||
                             std::holds_alternative<command::Route>(cli.command);
  if (changes_state) {
    auto acquired = StateLock::acquire(cli.state, kLockTimeout);
    if (!acquired) return std::unexpected(std::move(acquired.error()));
    lock.emplace(std::move(*acquired));
  }
  auto state = load_state(cli.state);
  if (!state) return std::unexpected(std::move(state.error()));
  const auto key = SigningKey::from_bytes(state->approval_seed);

  return std::visit(
      [&](const auto& command) -> Result {
        using C = std::decay_t<decltype(command)>;
        if constexpr (std::is_same_v<C, command::List>) {
          return run_list(cli, *state);
        } else if constexpr (std::is_same_v<C, command::Deliveries>) {
          return run_deliveries(cli, *state);
        } else if constexpr (std::is_same_v<C, command::Install>) {
          return run_install(cli, command, *state, key, now);
        } else if constexpr (std::is_same_v<C, command::Approve>) {
          return run_approve(cli, command, *state, key);
        } else if constexpr (std::is_same_v<C, command::Route>) {
          return run_route(cli, command, *state, key, now);
        } else {
          static_assert(std::is_same_v<C, command::Init>);
          return run_init(cli);
        }
      },
      cli.command);
}

int main_entry(int argc, const char* const* argv) {
  // A closed output pipe is reported as an error, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  auto parsed = parse_command_line(argc, argv);
  if (const auto* exit = std::get_if<ParserExit>(&parsed)) return exit->status;
  auto result = run(std::get<Cli>(parsed));
  if (!result) {
    const auto line = fmt::format("error: {}\n", result.error());
    (void)!::write(STDERR_FILENO, line.data(), line.size());
    return 1;
  }
  return 0;
}

}  // namespace corvane::cli
