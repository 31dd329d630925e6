// The API keys of the carrier interfaces that the tracking scripts call with a key of the
// program's own (the "tokenID" of a web request).
//
// Keys are deployment configuration, never part of the source: for an identifier HOST the
// key is the environment variable PORVANE_TOKEN_<HOST upper-cased, every character other than
// A-Z and 0-9 as "_"> (PORVANE_TOKEN_API_LAPOSTE_FR), else the string under HOST in the
// dictionary of <shared container>/Tokens.plist. Only the identifiers below are answered, so a
// script cannot read other configuration through this. Nothing logged ever contains a key.
//
// Any thread; the environment and the file are read on every call, so a changed file applies
// at once.
#pragma once

#include <optional>
#include <string>

namespace qby {

class QBYPrivateToken {
 public:
  QBYPrivateToken() = delete;

  // La Poste's Okapi API (tracking "suivi/v2"); the key goes in the "X-Okapi-Key" header.
  static constexpr const char* kLaPosteAPI = "api.laposte.fr";
  // PostNord's developer API (track and trace); the key goes in the "apikey" parameter.
  static constexpr const char* kPostNordAPI = "api2.postnord.com";
  // The USPS Web Tools API (ShippingAPI.dll); the key is the Web Tools user ID.
  static constexpr const char* kUSPSWebToolsAPI = "secure.shippingapis.com";

  // The configured key of a known identifier; nil for unknown identifiers (configured or not),
  // for a known one without a key, and for nil.
  static std::optional<std::string> tokenForID(const std::optional<std::string>& identifier);

  // The environment variable that holds the identifier's key.
  static std::string environmentVariableForID(const std::string& identifier);

  // A credential the user configured for a carrier's interface (type "apiKey", "clientID",
  // "clientSecret" or "accountNumber"): the environment variable
  // PORVANE_CREDENTIAL_<SERVICE KEY>_<TYPE> (both upper-cased, every character other than A-Z
  // and 0-9 as "_"), else Tokens.plist → "Credentials" → service key → type. Nothing when
  // neither holds a non-empty text.
  static std::optional<std::string> credential(const std::string& serviceKey,
                                               const std::string& type);
  static std::string environmentVariableForCredential(const std::string& serviceKey,
                                                      const std::string& type);
};

}  // namespace qby
