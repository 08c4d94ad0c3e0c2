#include "corvane/contracts/records.hpp"

#include "corvane/contracts/json.hpp"
#include "varnholt/crypto/canonical.hpp"

namespace corvane::contracts {

std::optional<DataClass> data_class_from_name(std::string_view text) {
  for (std::size_t i = 0; i < kDataClassNames.size(); ++i) {
    if (kDataClassNames[i] == text) return static_cast<DataClass>(i);
  }
  return std::nullopt;
}

std::expected<InstalledConnector, std::string> InstalledConnector::sign(
    ConnectorManifest manifest, const varnholt::crypto::SigningKey& key, Timestamp installed_at) {
  auto message = varnholt::crypto::canonical_bytes(manifest);
  if (!message) return std::unexpected(message.error().message());
  auto signature = key.sign(*message);
  return InstalledConnector{std::move(manifest), signature, ConnectorStatus::PendingApproval,
                            std::nullopt, installed_at};
}

std::expected<void, std::string> InstalledConnector::verify(
    const varnholt::crypto::VerifyingKey& key) const {
  // The canonical bytes are recomputed from the manifest as it stands, so any
  // change to a signed member since installation shows here.
  auto message = varnholt::crypto::canonical_bytes(manifest);
  if (!message || !key.verify_bytes(*message, signature)) {
    return std::unexpected(std::string(kTamperedManifest));
  }
  return {};
}

}  // namespace corvane::contracts
