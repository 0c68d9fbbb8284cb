#include "tickets/purchase_tracker.h"

#include <QCoreApplication>
#include <algorithm>

#include "app/app_config.h"
#include "app/local_notifications.h"
#include "app/service_request.h"
#include "platform/device.h"
#include "platform/format.h"
#include "platform/log.h"
#include "protocol/reply.h"
#include "tickets/page_support.h"
#include "tickets/ticket_manager.h"

namespace est {
namespace {

std::string userPhone() {
  return preferenceText("userPhoneNumber").value_or("");
}

void scheduleEndReminders(const Ticket& ticket) {
  // One of each per ticket; the warning no longer holds once the ticket has ended.
  auto remind = [&ticket](TimePoint fire, std::string body, const char* kind,
                          std::optional<TimePoint> expiry) {
    LocalNotification notification;
    notification.fireDate = fire;
    notification.timeZone = defaultTimeZoneName();
    notification.alertBody = std::move(body);
    notification.applicationIconBadgeNumber = 1;
    notification.soundName = kDefaultSoundName;
    notification.expiryDate = expiry;
    notification.replaceKey =
        strprintf("ticket-%lld-%s", static_cast<long long>(ticket.transactionId.value_or(0)), kind);
    LocalNotificationCenter::shared().scheduleLocalNotification(notification);
  };
  const QString plate = QString::fromStdString(ticket.license);
  remind(
      *ticket.timeEnd - std::chrono::seconds(300),
      QCoreApplication::translate("PurchaseTracker", "El ticket de la matricula %1 va a finalizar")
          .arg(plate)
          .toStdString(),
      "ending", *ticket.timeEnd);
  remind(*ticket.timeEnd,
         QCoreApplication::translate("PurchaseTracker", "El ticket de la matricula %1 finalizó")
             .arg(plate)
             .toStdString(),
         "ended", std::nullopt);
}

}  // namespace

PurchaseTracker& PurchaseTracker::shared() {
  // Never released: replies and timers may still arrive while the process winds down.
  static PurchaseTracker* tracker = new PurchaseTracker;
  return *tracker;
}

PurchaseTracker::PurchaseTracker() = default;

PurchaseTracker::~PurchaseTracker() {
  reset();
}

void PurchaseTracker::reset() {
  for (auto& [request, exchange] : exchanges_) exchange.request->clearDelegatesAndCancel();
  exchanges_.clear();
  stopPolling();
}

void PurchaseTracker::stopPolling() {
  // A timer of a loop that is no longer the main one (a test's) is forgotten, not cancelled.
  if (pollLoop_ == RunLoop::main()) pollTimer_.reset();
  pollTimer_.release();
  pollLoop_ = nullptr;
}

void PurchaseTracker::addObserver(Observer* observer) {
  if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
    observers_.push_back(observer);
}

void PurchaseTracker::removeObserver(Observer* observer) {
  std::erase(observers_, observer);
}

void PurchaseTracker::forEachObserver(const std::function<void(Observer&)>& call) {
  // An observer may remove itself (or another) while being told.
  std::vector<Observer*> copy = observers_;
  for (Observer* observer : copy) {
    if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end())
      call(*observer);
  }
}

bool PurchaseTracker::isUnderWay(std::int64_t transactionId) const {
  return std::any_of(exchanges_.begin(), exchanges_.end(), [&](const auto& entry) {
    return entry.second.transactionId == transactionId;
  });
}

void PurchaseTracker::buy(const PendingPurchase& purchase, RequestDone done) {
  RequestResult result;
  result.purchase = purchase;
  if (pending_.contains(purchase.transactionId)) {
    result.outcome = RequestOutcome::AlreadyPending;
    resume();
    if (done) done(result);
    return;
  }
  // Written (and on disk) before anything leaves: a crash from here on leaves a purchase to
  // ask about, never one the service took and the application forgot.
  if (!pending_.add(purchase)) {
    result.outcome = RequestOutcome::NotStored;
    if (done) done(result);
    return;
  }
  forEachObserver([](Observer& o) { o.pendingPurchasesChanged(); });
  ParkingPurchase request;
  request.phone = userPhone();
  request.transactionId = purchase.transactionId;
  request.deviceId = vendorIdentifier();
  request.plate = purchase.plate;
  request.minutes = purchase.minutes.value_or(0);
  request.hour = purchase.start ? formatHourMinute(*purchase.start) : std::string();
  send(purchase.transactionId, solicitarEstacionamientoURL(AppConfig::parkingServiceURL(), request),
       true, std::move(done));
  resume();
}

void PurchaseTracker::resume() {
  RunLoop* loop = RunLoop::main();
  if (!loop) return;
  if (pollLoop_ != loop) stopPolling();
  if (pollTimer_.active() || pending_.empty()) return;
  pollLoop_ = loop;
  pollTimer_.start(
      *loop, Seconds(kPollInterval), [this] { pollNow(); }, true);
}

void PurchaseTracker::pollNow() {
  std::vector<PendingPurchase> pending = pending_.all();
  if (pending.empty()) {
    stopPolling();
    return;
  }
  for (const PendingPurchase& purchase : pending) {
    // Its earlier question (or its purchase request) is still out: wait for that answer.
    if (isUnderWay(purchase.transactionId)) continue;
    ++pollsSent_;
    send(purchase.transactionId,
         consultarEstacionamientoURL(AppConfig::parkingServiceURL(), userPhone(),
                                     purchase.transactionId, vendorIdentifier()),
         false, {});
  }
}

void PurchaseTracker::send(std::int64_t transactionId, const std::string& url,
                           bool isPurchaseRequest, RequestDone done) {
  HTTPRequestPtr request = makeServiceRequest(url, this);
  Exchange exchange;
  exchange.transactionId = transactionId;
  exchange.isPurchaseRequest = isPurchaseRequest;
  exchange.request = request;
  exchange.done = std::move(done);
  exchanges_.emplace(request.get(), std::move(exchange));
  request->startAsynchronous();
}

std::optional<PurchaseTracker::Exchange> PurchaseTracker::take(const HTTPRequest& request) {
  auto it = exchanges_.find(&request);
  if (it == exchanges_.end()) return std::nullopt;
  Exchange exchange = std::move(it->second);
  exchanges_.erase(it);
  return exchange;
}

PurchaseTracker::RequestResult PurchaseTracker::resultFor(std::int64_t transactionId) {
  RequestResult result;
  if (std::optional<PendingPurchase> purchase = pending_.find(transactionId))
    result.purchase = *purchase;
  result.purchase.transactionId = transactionId;
  return result;
}

void PurchaseTracker::requestFinished(HTTPRequest& request) {
  std::optional<Exchange> exchange = take(request);
  if (!exchange) return;
  if (!exchange->isPurchaseRequest) {
    logf("purchase %lld: status reply (HTTP %d)", static_cast<long long>(exchange->transactionId),
         request.responseStatusCode());
    applyStatus(exchange->transactionId,
                readConsultarEstacionamientoReply(request.responseData(), Clock::current().now()));
    return;
  }
  RequestResult result = resultFor(exchange->transactionId);
  if (isServiceError(request)) {
    logf("purchase %lld: unreadable reply (HTTP %d); still pending",
         static_cast<long long>(exchange->transactionId), request.responseStatusCode());
    result.outcome = RequestOutcome::ServiceError;
  } else {
    SolicitarEstacionamientoOutcome outcome =
        readSolicitarEstacionamientoReply(request.responseData());
    if (outcome.kind == SolicitarEstacionamientoOutcome::Kind::Accepted) {
      result.outcome = RequestOutcome::Accepted;
    } else {
      result.outcome = RequestOutcome::Refused;
      result.errors = outcome.errors;
      if (pending_.remove(exchange->transactionId))
        forEachObserver([](Observer& o) { o.pendingPurchasesChanged(); });
    }
  }
  purchaseRequestEnded(std::move(*exchange), std::move(result));
}

void PurchaseTracker::requestFailed(HTTPRequest& request) {
  std::optional<Exchange> exchange = take(request);
  if (!exchange) return;
  std::optional<Error> error = request.error();
  logf("purchase %lld: %s failed: %s; still pending",
       static_cast<long long>(exchange->transactionId),
       exchange->isPurchaseRequest ? "purchase request" : "status query",
       error ? error->description.c_str() : "");
  if (!exchange->isPurchaseRequest) return;  // asked again at the next round
  RequestResult result = resultFor(exchange->transactionId);
  result.outcome = RequestOutcome::TransportFailure;
  purchaseRequestEnded(std::move(*exchange), std::move(result));
}

void PurchaseTracker::purchaseRequestEnded(Exchange exchange, RequestResult result) {
  if (result.outcome == RequestOutcome::Refused) {
    stopWhenNothingPending();
  } else {
    resume();
  }
  if (exchange.done) exchange.done(result);
}

void PurchaseTracker::stopWhenNothingPending() {
  if (exchanges_.empty() && pending_.empty()) stopPolling();
}

void PurchaseTracker::applyStatus(std::int64_t transactionId,
                                  const ConsultarEstacionamientoOutcome& reply) {
  using Kind = ConsultarEstacionamientoOutcome::Kind;
  // Decided meanwhile (or dropped): a late or repeated reply changes nothing.
  std::optional<PendingPurchase> purchase = pending_.find(transactionId);
  if (!purchase) return;
  switch (reply.kind) {
    case Kind::InProgress:
    case Kind::NoDecision:
      return;  // asked again at the next round
    case Kind::Refused:
      pending_.remove(transactionId);
      stopWhenNothingPending();
      forEachObserver([&](Observer& o) { o.purchaseRefused(*purchase); });
      forEachObserver([](Observer& o) { o.pendingPurchasesChanged(); });
      return;
    case Kind::Confirmed:
      if (confirm(*purchase, reply)) {
        forEachObserver([](Observer& o) { o.pendingPurchasesChanged(); });
      }
      return;
  }
}

bool PurchaseTracker::confirm(const PendingPurchase& purchase,
                              const ConsultarEstacionamientoOutcome& reply) {
  Ticket ticket;
  // The purchase's own identifier: a confirmation heard twice (say, again after a crash
  // between storing the ticket and forgetting the purchase) replaces the ticket.
  ticket.transactionId = purchase.transactionId;
  ticket.timeStart = reply.inicio;
  ticket.timeEnd = reply.fin;
  ticket.license = purchase.plate;
  TicketManager& store = TicketManager::getInstance();
  bool known = store.getTicketWithID(purchase.transactionId).has_value();
  if (!store.update(ticket)) {
    // Not stored: the purchase stays pending and the next round asks again.
    logf("purchase %lld: confirmed, but the ticket could not be stored; still pending",
         static_cast<long long>(purchase.transactionId));
    return false;
  }
  pending_.remove(purchase.transactionId);
  stopWhenNothingPending();
  if (!known) scheduleEndReminders(ticket);
  forEachObserver([&](Observer& o) { o.purchaseConfirmed(purchase, ticket, reply); });
  return true;
}

}  // namespace est
