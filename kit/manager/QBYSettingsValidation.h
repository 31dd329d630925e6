// Checks a delivery's settings against the fields its service requires, and builds the error
// that names the missing ones for the user ("Tracking number and Postcode are required.").
//
// Threads: the main thread (the service and its settings belong to the view context).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/QBYError.h"

namespace qby {

class QBYDeliverySettings;
class Service;

inline constexpr const char* QBYDeliveriesErrorDomain = "com.quillbay.porvane";
inline constexpr std::int64_t QBYDeliveriesMissingFieldsErrorCode = 100;
// User-information keys of the validation error: the message, and the types of the missing
// settings ("no", "extra", …) in the order of the message.
inline constexpr const char* QBYDeliveriesErrorDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* QBYDeliveriesMissingFields = "QBYDeliveriesMissingFields";

// Whether the settings fill every required setting of the service (the one the settings'
// `from` names, looked up by the caller; nullptr when there is none, which reports the service
// itself as missing). Passwords count only with checkPassword. On failure *error (when given)
// is the validation error. Missing fields are listed in the order the service's settings
// were imported in.
bool validateSettings(const QBYDeliverySettings& settings, const std::shared_ptr<Service>& service,
                      bool checkPassword, QBYError* error = nullptr);

// The error naming the fields (localized here): "%@ is required.", "%@ and %@ are required."
// or "%@, %@, and %@ are required." with the first three. Nothing without fields. The keys,
// when given, are carried under "QBYDeliveriesMissingFields".
std::optional<QBYError> validationErrorForFields(
    const std::vector<std::string>& fields,
    const std::optional<std::vector<std::string>>& keys = std::nullopt);

}  // namespace qby
