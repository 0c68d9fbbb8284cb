#pragma once

// Follows every purchase from its request to its ticket, whatever screen is open.
//
// A purchase is written to the pending set (PendingPurchases) before its request leaves, and
// stays there until the service decides: a readable refusal of the request, a confirmation
// (the ticket is stored under the purchase's own identifier, so a repeated confirmation
// replaces it instead of adding a second one), or a status reply "ERROR", which is also what
// the service answers for a purchase it does not know. Everything else (a failed or timed-out
// request, HTTP 5xx, a garbled or empty reply, an unknown status) leaves the purchase pending,
// and it is asked about again.
//
// Every 4 seconds each pending purchase that has no exchange under way is asked about
// (consultarEstacionamiento): at most one exchange per purchase is ever in flight, and a reply
// is applied only to the purchase it was asked about. The set is read from the store at every
// round, so purchases left by an earlier run are followed as soon as polling resumes.
//
// One tracker serves the process (shared()); it lives on the main run loop. Main thread only.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/http_request.h"
#include "platform/run_loop.h"
#include "protocol/parking_protocol.h"
#include "tickets/pending_purchases.h"
#include "tickets/ticket.h"

namespace est {

class PurchaseTracker : public HTTPRequestDelegate {
 public:
  static constexpr double kPollInterval = 4.0;

  // How the purchase request itself ended.
  enum class RequestOutcome {
    Accepted,          // "status" "0": pending, asked about from now on
    Refused,           // a readable reply saying no: no longer pending; `errors` tells why
    ServiceError,      // HTTP 5xx or an unreadable reply: it may have been taken; stays pending
    TransportFailure,  // no connection, or no reply in time: likewise
    NotStored,         // the pending set could not be written: nothing was sent
    AlreadyPending,    // this purchase is pending already: nothing was sent again
  };
  struct RequestResult {
    RequestOutcome outcome = RequestOutcome::TransportFailure;
    PendingPurchase purchase;
    std::optional<std::string> errors;  // Refused: the reply's "errors", when it had one
  };
  using RequestDone = std::function<void(const RequestResult&)>;

  // Told of the service's decisions, on the main thread.
  class Observer {
   public:
    virtual ~Observer() = default;
    // Confirmed: `ticket` is in the store, under the purchase's identifier.
    virtual void purchaseConfirmed(const PendingPurchase& purchase, const Ticket& ticket,
                                   const ConsultarEstacionamientoOutcome& reply) {
      (void)purchase, (void)ticket, (void)reply;
    }
    // Refused, or unknown to the service: no longer pending.
    virtual void purchaseRefused(const PendingPurchase& purchase) { (void)purchase; }
    // A purchase joined or left the pending set.
    virtual void pendingPurchasesChanged() {}
  };

  static PurchaseTracker& shared();

  PurchaseTracker();
  ~PurchaseTracker() override;
  PurchaseTracker(const PurchaseTracker&) = delete;
  PurchaseTracker& operator=(const PurchaseTracker&) = delete;

  // Records `purchase` as pending, then sends its purchase request (solicitarEstacionamiento)
  // and starts polling. `done` runs once, on the main thread, when the request has ended (at
  // once for NotStored and AlreadyPending).
  void buy(const PendingPurchase& purchase, RequestDone done);

  // Starts the 4-second polling when something is pending and it is not running.
  void resume();
  // One round now: each pending purchase without an exchange under way is asked about. Stops
  // the polling when nothing is pending.
  void pollNow();

  bool isPolling() const { return pollTimer_.active(); }
  // Whether a request (the purchase's own or a status query) is in flight for it.
  bool isUnderWay(std::int64_t transactionId) const;
  std::size_t requestsUnderWay() const { return exchanges_.size(); }
  // Status queries sent since creation (or the last reset).
  std::uint64_t pollsSent() const { return pollsSent_; }

  void addObserver(Observer* observer);
  void removeObserver(Observer* observer);

  // Stops polling and forgets every exchange under way (their replies are dropped). The
  // pending set itself is untouched. For tests and a restart of the screens.
  void reset();

  void requestFinished(HTTPRequest& request) override;
  void requestFailed(HTTPRequest& request) override;

 private:
  struct Exchange {
    std::int64_t transactionId = 0;
    bool isPurchaseRequest = false;
    HTTPRequestPtr request;
    RequestDone done;  // purchase request only
  };

  void stopPolling();
  void stopWhenNothingPending();
  void send(std::int64_t transactionId, const std::string& url, bool isPurchaseRequest,
            RequestDone done);
  std::optional<Exchange> take(const HTTPRequest& request);
  // A result for the purchase request of `transactionId`, with what the pending set knows of it.
  RequestResult resultFor(std::int64_t transactionId);
  void purchaseRequestEnded(Exchange exchange, RequestResult result);
  void applyStatus(std::int64_t transactionId, const ConsultarEstacionamientoOutcome& reply);
  bool confirm(const PendingPurchase& purchase, const ConsultarEstacionamientoOutcome& reply);
  void forEachObserver(const std::function<void(Observer&)>& call);

  PendingPurchases pending_;
  std::map<const HTTPRequest*, Exchange> exchanges_;
  ScopedTimer pollTimer_;
  RunLoop* pollLoop_ = nullptr;
  std::vector<Observer*> observers_;
  std::uint64_t pollsSent_ = 0;
};

}  // namespace est
