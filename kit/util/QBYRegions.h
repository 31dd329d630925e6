// Service keys of the carriers and shops that belong to one country or region, and the table
// that maps them to the region's name. A service key is the carrier's web host name
// (sometimes with a path); the services list names its services with these same keys, so
// take them from here rather than spelling them again.
//
// Pure data and lookups; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qby {

namespace ServiceKey {

// A delivery tracked through a plain web page rather than a carrier's service.
inline constexpr const char* Other = "other";

// Amazon's order links: the extra value holds the order page of any national shop, and the
// region comes from that page's host.
inline constexpr const char* AmazonOrderLink = "www.amazon.com/url";

// United States
inline constexpr const char* AmazonUS = "www.amazon.com";
inline constexpr const char* LaserShip = "www.lasership.com";
inline constexpr const char* UPSMailInnovations = "www.upsmailinnovations.com";
inline constexpr const char* USPS = "www.usps.com";
// Canada
inline constexpr const char* AmazonCanada = "www.amazon.ca";
inline constexpr const char* CanadaPost = "www.canadapost.ca";
inline constexpr const char* Purolator = "www.purolator.com";
// United Kingdom
inline constexpr const char* AmazonUK = "www.amazon.co.uk";
inline constexpr const char* DPDUK = "www.dpd.co.uk";
inline constexpr const char* Parcelforce = "www.parcelforce.com";
inline constexpr const char* RoyalMail = "www.royalmail.com";
inline constexpr const char* Yodel = "www.yodel.co.uk";
// Japan
inline constexpr const char* AmazonJapan = "www.amazon.co.jp";
inline constexpr const char* AppleJapan = "www.apple.com/jp";
inline constexpr const char* JapanPostYuPack = "www.post.japanpost.jp";
inline constexpr const char* SagawaExpress = "www.sagawa-exp.co.jp";
inline constexpr const char* KuronekoYamato = "www.kuronekoyamato.co.jp";
// Germany
inline constexpr const char* AmazonGermany = "www.amazon.de";
inline constexpr const char* DHLGermany = "www.dhl.de";
inline constexpr const char* DPD = "www.dpd.de";
inline constexpr const char* HLG = "www.hlg.de";
// Austria
inline constexpr const char* AmazonAustria = "www.amazon.at";
inline constexpr const char* PostAustria = "www.post.at";
// Spain
inline constexpr const char* AmazonSpain = "www.amazon.es";
// France
inline constexpr const char* AmazonFrance = "www.amazon.fr";
inline constexpr const char* Chronopost = "www.chronopost.fr";
inline constexpr const char* LaPoste = "www.laposte.fr";
// India
inline constexpr const char* AmazonIndia = "www.amazon.in";
// Italy
inline constexpr const char* AmazonItaly = "www.amazon.it";
inline constexpr const char* PosteItaliane = "www.poste.it";
// Hong Kong
inline constexpr const char* AppleHongKong = "www.apple.com/hk";
inline constexpr const char* HongkongPost = "www.hongkongpost.hk";
// Australia
inline constexpr const char* AustraliaPost = "auspost.com.au";
inline constexpr const char* TNTAustralia = "www.tntexpress.com.au";
// California
inline constexpr const char* OnTrac = "www.ontrac.com";
// Norway
inline constexpr const char* PostenNorway = "www.posten.no";
// Denmark
inline constexpr const char* PostDanmark = "www.postdanmark.dk";
// Sweden
inline constexpr const char* PostenSweden = "www.posten.se";
// Netherlands
inline constexpr const char* PostNL = "www.postnl.nl";
// Switzerland
inline constexpr const char* PostSwitzerland = "www.post.ch";

}  // namespace ServiceKey

// The region of the service with exactly this key ("US", "UK", "Germany", …), not localised;
// nothing for any other key.
std::optional<std::string> regionForServiceKey(std::string_view key);

// The service keys the table knows, for consistency checks of the services list.
std::vector<std::string_view> serviceKeysWithRegion();

}  // namespace qby
