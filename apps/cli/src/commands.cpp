#include "commands.hpp"

#include <algorithm>
#include <array>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "corvane/cli/app.hpp"
#include "corvane/contracts/json.hpp"
#include "corvane/files/files.hpp"
#include "corvane/state/codec.hpp"
#include "corvane/state/store.hpp"
#include "output.hpp"
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

const varnholt::crypto::SigningKey& Session::signing_key() {
  if (!key_) key_.emplace(varnholt::crypto::SigningKey::from_bytes(state_.approval_seed));
  return *key_;
}

namespace {

using contracts::DataClass;
using varnholt::crypto::SigningKey;
using Checked = std::expected<Work, std::string>;

// A listed name is padded to this many characters (a longer one is printed
// whole).
constexpr std::size_t kNameColumn = 16;

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
                                                                      bool json) -> Printed {
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

// --- the commands ---------------------------------------------------------------------

Checked run_init(const Command&) {
  return [](Session& session) -> std::expected<Printer, std::string> {
    if (state::state_exists(session.path())) {
      return std::unexpected(files::display_path(session.path()) + " already exists");
    }
    const auto key = SigningKey::generate();
    auto& state = session.state();
    state.tenant_id = varnholt::contracts::TenantId::new_v4();
    state.approval_seed = key.seed();
    state.router.policy = router::RetryPolicy{};
    const auto tenant = state.tenant_id.to_string();
    return print_one(TenantResult{tenant}, "bridge initialised for tenant " + tenant);
  };
}

Checked run_install(const Command& command) {
  auto install = std::get<command::Install>(command);
  auto classes = parse_data_classes(install.classes);
  if (!classes) return std::unexpected(std::move(classes.error()));
  return [install = std::move(install),
          classes = std::set<DataClass>(classes->begin(), classes->end())](
             Session& session) mutable -> std::expected<Printer, std::string> {
    auto& state = session.state();
    auto id =
        router::install_connector(state.router, state.tenant_id, std::move(install.name),
                                  std::move(install.endpoint_ref), std::move(install.secret_ref),
                                  install.events, classes, session.signing_key(), session.now());
    if (!id) return std::unexpected(std::move(id.error()));
    const auto text_id = id->to_string();
    const auto status = contracts::ConnectorStatus::PendingApproval;
    return print_one(
        ConnectorResult{text_id, std::string(contracts::name(status))},
        fmt::format("connector {} installed \u2014 PENDING APPROVAL (receives nothing yet)",
                    text_id));
  };
}

Checked run_approve(const Command& command) {
  auto approve = std::get<command::Approve>(command);
  return [approve = std::move(approve)](Session& session) -> std::expected<Printer, std::string> {
    const contracts::ConnectorId id(approve.connector);
    if (auto approved = router::approve_connector(session.state().router, id, approve.workflow_ref,
                                                  session.signing_key().verifying_key());
        !approved) {
      return std::unexpected(std::move(approved.error()));
    }
    const auto text_id = id.to_string();
    return print_one(
        ConnectorResult{text_id,
                        std::string(contracts::name(contracts::ConnectorStatus::Approved))},
        fmt::format("connector {} approved via {}", text_id, approve.workflow_ref));
  };
}

Checked run_list(const Command&) {
  return [](Session& session) -> std::expected<Printer, std::string> {
    return [&state = session.state()](Output& out, bool json) -> Printed {
      bool first = true;
      if (json) out.append("[");
      for (const auto& [id, connector] : state.router.connectors) {
        if (!first) json ? out.append(",") : out.end_line();
        first = false;
        if (json) {
          print_json(out, summary_of(connector));
        } else {
          out.append(list_line(connector));
        }
      }
      if (json) out.append("]");
      out.end_line();
      return {};
    };
  };
}

Checked run_route(const Command& command) {
  const auto& route = std::get<command::Route>(command);
  auto classes = parse_data_classes(route.classes);
  if (!classes) return std::unexpected(std::move(classes.error()));
  // Each class is a field of its own, named by its place: "f0", "f1", ...
  decltype(contracts::BridgeEvent::fields) fields;
  for (std::size_t i = 0; i < classes->size(); ++i) {
    fields.emplace(fmt::format("f{}", i), (*classes)[i]);
  }
  return [event_type = route.event_type,
          fields = std::move(fields)](Session& session) -> std::expected<Printer, std::string> {
    auto& state = session.state();
    const contracts::BridgeEvent event{event_type, session.now(), state.tenant_id, fields};
    const std::size_t queued = state.router.route(event, session.checks(), session.now());
    return print_one(QueuedResult{queued}, fmt::format("{} delivery(ies) queued", queued));
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

Checked run_deliveries(const Command&) {
  return [](Session& session) -> std::expected<Printer, std::string> {
    // Only a checked file is printed from: the log is read a second time,
    // from the same open file, as it is printed.
    return [&store = session.store()](Output& out, bool json) -> Printed {
      if (json) out.append("[");
      DeliveryPrinter printer(out, json);
      if (auto printed = store.for_each_delivery(printer); !printed) return printed;
      if (json) out.append("]");
      out.end_line();
      return {};
    };
  };
}

// --- the table ------------------------------------------------------------------------

using detail::Arg;
using detail::kHelpFlag;
using detail::kJsonFlag;
using detail::kStateOption;
using detail::value_of;

// "Data classes: " and the names of the data classes, as the state file
// stores them, separated by " | ".
constexpr std::string_view kDataClassLead = "Data classes:";
constexpr std::size_t data_class_help_size() {
  std::size_t size = kDataClassLead.size() + 1 + 3 * (contracts::kDataClassNames.size() - 1);
  for (const std::string_view name : contracts::kDataClassNames) size += name.size();
  return size;
}
constexpr auto kDataClassHelp = [] {
  std::array<char, data_class_help_size()> text{};
  std::size_t at = 0;
  const auto put = [&text, &at](std::string_view piece) {
    for (const char c : piece) text[at++] = c;
  };
  put(kDataClassLead);
  for (const std::string_view name : contracts::kDataClassNames) {
    put(at == kDataClassLead.size() ? " " : " | ");
    put(name);
  }
  return text;
}();

template <typename T>
Command blank() {
  return T{};
}

using command::Approve;
using command::Install;
using command::Route;

constexpr std::array kNoArgs{kHelpFlag, kStateOption, kJsonFlag};
constexpr std::array kInstallArgs{
    kHelpFlag,
    value_of<&Install::name>("name", "NAME", true),
    value_of<&Install::endpoint_ref>("--endpoint-ref", "ENDPOINT_REF", true,
                                     "Config reference for the endpoint — never a raw URL"),
    kStateOption,
    kJsonFlag,
    value_of<&Install::secret_ref>("--secret-ref", "SECRET_REF", true,
                                   "Varnholt secret reference for the signing secret"),
    value_of<&Install::events>("--event", "EVENTS", false,
                               "Event types this connector may receive (repeatable)"),
    value_of<&Install::classes>("--class", "CLASSES", false,
                                std::string_view(kDataClassHelp.data(), kDataClassHelp.size())),
};
constexpr std::array kApproveArgs{
    kHelpFlag,    value_of<&Approve::connector>("connector", "CONNECTOR", true),
    kStateOption, value_of<&Approve::workflow_ref>("--workflow-ref", "WORKFLOW_REF", true),
    kJsonFlag,
};
constexpr std::array kRouteArgs{
    kHelpFlag,
    value_of<&Route::event_type>("event_type", "EVENT_TYPE", true),
    value_of<&Route::classes>("--class", "CLASSES", false),
    kStateOption,
    kJsonFlag,
};

const std::array<CommandRow, std::variant_size_v<Command>> kTable{{
    {{"init", "Initialise the bridge with a tenant and an approval key", kNoArgs},
     Effect::Creates,
     false,
     blank<command::Init>,
     run_init},
    {{"install", "Install an outbound signed webhook connector (starts pending approval)",
      kInstallArgs},
     Effect::Changes,
     false,
     blank<command::Install>,
     run_install},
    {{"approve", "Approve an installed connector against a workflow reference", kApproveArgs},
     Effect::Changes,
     false,
     blank<command::Approve>,
     run_approve},
    {{"list", "List connectors", kNoArgs}, Effect::Reads, false, blank<command::List>, run_list},
    {{"route", "Route an event and record deliveries", kRouteArgs},
     Effect::Changes,
     true,
     blank<command::Route>,
     run_route},
    {{"deliveries", "Show deliveries", kNoArgs},
     Effect::Reads,
     false,
     blank<command::Deliveries>,
     run_deliveries},
}};

}  // namespace

std::span<const CommandRow> command_table() {
  return kTable;
}

const CommandRow& row_of(const Command& command) {
  // Each row's blank value is of its own alternative of Command.
  const auto row = std::ranges::find_if(
      kTable, [&](const CommandRow& each) { return each.blank().index() == command.index(); });
  return *row;
}

std::expected<DataClass, std::string> parse_data_class(std::string_view text) {
  if (auto parsed = contracts::data_class_from_name(text)) return *parsed;
  return std::unexpected(fmt::format("unknown data class '{}'", text));
}

}  // namespace corvane::cli
