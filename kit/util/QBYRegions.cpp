#include "util/QBYRegions.h"

#include <array>
#include <utility>

namespace qby {
namespace {

using Entry = std::pair<std::string_view, std::string_view>;

constexpr std::array kRegions = {
    Entry{ServiceKey::AmazonUS, "US"},
    Entry{ServiceKey::LaserShip, "US"},
    Entry{ServiceKey::UPSMailInnovations, "US"},
    Entry{ServiceKey::USPS, "US"},
    Entry{ServiceKey::AmazonCanada, "Canada"},
    Entry{ServiceKey::CanadaPost, "Canada"},
    Entry{ServiceKey::Purolator, "Canada"},
    Entry{ServiceKey::AmazonUK, "UK"},
    Entry{ServiceKey::DPDUK, "UK"},
    Entry{ServiceKey::Parcelforce, "UK"},
    Entry{ServiceKey::RoyalMail, "UK"},
    Entry{ServiceKey::Yodel, "UK"},
    Entry{ServiceKey::AmazonJapan, "Japan"},
    Entry{ServiceKey::AppleJapan, "Japan"},
    Entry{ServiceKey::JapanPostYuPack, "Japan"},
    Entry{ServiceKey::SagawaExpress, "Japan"},
    Entry{ServiceKey::KuronekoYamato, "Japan"},
    Entry{ServiceKey::AmazonGermany, "Germany"},
    Entry{ServiceKey::DHLGermany, "Germany"},
    Entry{ServiceKey::DPD, "Germany"},
    Entry{ServiceKey::HLG, "Germany"},
    Entry{ServiceKey::AmazonAustria, "Austria"},
    Entry{ServiceKey::PostAustria, "Austria"},
    Entry{ServiceKey::AmazonSpain, "Spain"},
    Entry{ServiceKey::AmazonFrance, "France"},
    Entry{ServiceKey::Chronopost, "France"},
    Entry{ServiceKey::LaPoste, "France"},
    Entry{ServiceKey::AmazonIndia, "India"},
    Entry{ServiceKey::AmazonItaly, "Italy"},
    Entry{ServiceKey::PosteItaliane, "Italy"},
    Entry{ServiceKey::AppleHongKong, "Hong Kong"},
    Entry{ServiceKey::HongkongPost, "Hong Kong"},
    Entry{ServiceKey::AustraliaPost, "Australia"},
    Entry{ServiceKey::TNTAustralia, "Australia"},
    Entry{ServiceKey::OnTrac, "California"},
    Entry{ServiceKey::PostenNorway, "Norway"},
    Entry{ServiceKey::PostDanmark, "Denmark"},
    Entry{ServiceKey::PostenSweden, "Sweden"},
    Entry{ServiceKey::PostNL, "Netherlands"},
    Entry{ServiceKey::PostSwitzerland, "Switzerland"},
};

}  // namespace

std::optional<std::string> regionForServiceKey(std::string_view key) {
  for (const auto& [serviceKey, region] : kRegions) {
    if (serviceKey == key) return std::string(region);
  }
  return std::nullopt;
}

std::vector<std::string_view> serviceKeysWithRegion() {
  std::vector<std::string_view> keys;
  keys.reserve(kRegions.size());
  for (const auto& entry : kRegions) keys.push_back(entry.first);
  return keys;
}

}  // namespace qby
