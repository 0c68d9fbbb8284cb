#pragma once

// The keys of the preference store. A registered plate's car model is stored under a key equal
// to the plate text itself.

namespace est::prefs {

inline constexpr const char* kDefaultTime = "defaultTime";
inline constexpr const char* kDefaultLicense = "defaultLicense";
inline constexpr const char* kLicenses = "Licenses";
inline constexpr const char* kUserPhoneNumber = "userPhoneNumber";
inline constexpr const char* kPinSended = "pin_sended";
inline constexpr const char* kSessionStarted = "sessionStarted";
inline constexpr const char* kFirstTime = "firstTime";
// The purchases awaiting the service's decision (tickets/pending_purchases.h owns the format).
inline constexpr const char* kPendingPurchases = "pendingPurchases";
// The old single pending-purchase marker: only read, and moved into kPendingPurchases.
inline constexpr const char* kTicketInProcess = "ticketInProcess";
inline constexpr const char* kTicketInProcessLicense = "ticketInProcessLicense";
inline constexpr const char* kPrice = "price";

}  // namespace est::prefs
