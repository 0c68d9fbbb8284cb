#include "app/service_request.h"

#include <QCoreApplication>

#include "protocol/reply.h"

namespace est {

HTTPRequestPtr makeServiceRequest(const std::string& url, HTTPRequestDelegate* delegate) {
  HTTPRequestPtr request = HTTPRequest::requestWithURL(url);
  request->setRequestMethod("GET");
  request->setTimeOutSeconds(kServiceTimeOutSeconds);
  request->setMaxResponseSize(kServiceMaxResponseSize);
  request->setDelegate(delegate);
  return request;
}

bool isServiceError(const HTTPRequest& request) {
  return isServiceError(request.responseStatusCode(), request.responseData());
}

QString serviceErrorTitle() {
  return QCoreApplication::translate("ServiceRequest", "Servicio no disponible");
}

QString serviceErrorMessage() {
  return QCoreApplication::translate(
      "ServiceRequest",
      "El servicio no respondió correctamente. Por favor intente de nuevo en unos minutos.");
}

}  // namespace est
