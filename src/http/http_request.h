#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/credentials.h"
#include "http/data_compressor.h"
#include "http/header_map.h"
#include "http/http_errors.h"
#include "http/request_seams.h"
#include "http/support/charset.h"
#include "http/support/cookie_jar.h"
#include "http/support/operation_queue.h"
#include "http/support/url.h"
#include "http/user_agent.h"
#include "platform/data.h"
#include "platform/error.h"
#include "platform/run_loop.h"

namespace est {

class HTTPRequest;
class RequestBody;
using HTTPRequestPtr = std::shared_ptr<HTTPRequest>;

// The run-loop mode name of synchronous requests.
inline constexpr const char* HTTPRequestRunLoopMode = "HTTPRequestRunLoopMode";
inline constexpr const char* DefaultRunLoopMode = "DefaultRunLoopMode";

// Told what happens to a request; every hook is optional and runs on the main run loop.
// Not owned by the request: clear it (clearDelegatesAndCancel) before it goes away.
class HTTPRequestDelegate {
 public:
  virtual ~HTTPRequestDelegate() = default;
  virtual void requestStarted(HTTPRequest&) {}
  virtual void requestDidReceiveResponseHeaders(HTTPRequest&, const HeaderMap&) {}
  virtual void requestWillRedirectToURL(HTTPRequest&, const Url&) {}
  virtual void requestRedirected(HTTPRequest&) {}
  virtual void requestFinished(HTTPRequest&) {}
  virtual void requestFailed(HTTPRequest&) {}
  virtual void requestDidReceiveData(HTTPRequest&, const Data&) {}

  // Hooks whose mere presence changes what the request does. A delegate that answers
  // redirects itself (and then calls redirectToURL) returns true from wantsWillRedirect; one
  // that takes the body in pieces returns true from wantsReceivedData, and the body is then
  // neither kept in memory nor written to a file.
  virtual bool wantsWillRedirect() const { return false; }
  virtual bool wantsReceivedData() const { return false; }

  // Asked when a request needs credentials it cannot find. A delegate that answers returns
  // true from the matching wants... hook, then sets the request's user name and password (or
  // the proxy pair) and calls retryUsingSuppliedCredentials, or calls cancelAuthentication.
  virtual void authenticationNeededForRequest(HTTPRequest&) {}
  virtual void proxyAuthenticationNeededForRequest(HTTPRequest&) {}
  virtual bool wantsAuthenticationNeeded() const { return false; }
  virtual bool wantsProxyAuthenticationNeeded() const { return false; }
};

// Shown the fraction done, 0 to 1, on the main run loop.
class ProgressDelegate {
 public:
  virtual ~ProgressDelegate() = default;
  virtual void setProgress(double fraction) = 0;
};

// A group of requests that also hears their callbacks (the `queue` of a request).
class HTTPRequestQueue : public HTTPRequestDelegate {
 public:
  virtual void requestDidReceiveBytes(HTTPRequest&, long long) {}
  virtual void requestDidSendBytes(HTTPRequest&, long long) {}
  virtual void requestIncrementDownloadSizeBy(HTTPRequest&, long long) {}
  virtual void requestIncrementUploadSizeBy(HTTPRequest&, long long) {}
};

// One HTTP exchange. Create with requestWithURL, configure, then startAsynchronous (on the
// shared queue, at most four at once) or startSynchronous. Exactly one of requestFinished /
// requestFailed reaches the delegate and the closures, on the main run loop. Thread-safe.
class HTTPRequest : public Operation {
 public:
  using Selector = void (HTTPRequestDelegate::*)(HTTPRequest&);
  using HeadersSelector = void (HTTPRequestDelegate::*)(HTTPRequest&, const HeaderMap&);
  using RedirectSelector = void (HTTPRequestDelegate::*)(HTTPRequest&, const Url&);
  using DataSelector = void (HTTPRequestDelegate::*)(HTTPRequest&, const Data&);
  using Block = std::function<void(HTTPRequest&)>;
  using HeadersBlock = std::function<void(HTTPRequest&, const HeaderMap&)>;
  using DataBlock = std::function<void(HTTPRequest&, const Data&)>;
  // Bytes done and the total expected (0 while it is not known).
  using ProgressBlock = std::function<void(HTTPRequest&, std::uint64_t, std::uint64_t)>;
  // What went out for one attempt, and on which connection (for tracing tools).
  struct SentRequest {
    std::string requestLine;
    HeaderMap headers;
    int connectionID = 0;
    bool connectionWasReused = false;
  };
  using SentBlock = std::function<void(HTTPRequest&, const SentRequest&)>;

  // ---- creation ----
  static HTTPRequestPtr requestWithURL(std::optional<Url> url);
  // A text that is not a URL gives a request without URL, which fails with code 5.
  static HTTPRequestPtr requestWithURL(std::string_view urlText);
  static HTTPRequestPtr requestWithURL(std::optional<Url> url,
                                       std::shared_ptr<DownloadCacheInterface> cache,
                                       int cachePolicy = 0);
  // A HEAD request for the same URL that only learns this request's download size (for
  // a queue's accurate progress); it borrows this request's headers, cookies and credentials.
  HTTPRequestPtr HEADRequest();
  std::shared_ptr<HTTPRequest> mainRequest() const { return get(mainRequest_).lock(); }
  ~HTTPRequest() override;

  // ---- running ----
  void startAsynchronous();
  void startSynchronous();
  void start() override;  // called by the queue
  void main() override;
  void cancel() override;
  void clearDelegatesAndCancel();
  // Follows a redirect that the delegate was asked about (wantsWillRedirect).
  void redirectToURL(const Url& url);

  bool isConcurrent() const override { return true; }
  bool isExecuting() const override { return inProgress_.load(); }
  bool isFinished() const override { return finished_.load(); }
  bool isCancelled() const override { return cancelled_.load(); }

  // ---- outcome ----
  // The body, gzip-inflated afresh on every call when inflation was deferred; nothing when
  // there is no body in memory or inflation fails.
  std::optional<Data> responseData() const;
  std::optional<std::string> responseString() const;  // UTF-8
  const Data& rawResponseData() const;                // call once the request is over
  bool isResponseCompressed() const;
  int responseStatusCode() const { return get(responseStatusCode_); }
  std::string responseStatusMessage() const { return get(responseStatusMessage_); }
  HeaderMap responseHeaders() const { return get(responseHeaders_); }
  std::vector<Cookie> responseCookies() const { return get(responseCookies_); }
  StringEncoding responseEncoding() const { return get(responseEncoding_); }
  std::optional<Error> error() const { return get(error_); }
  std::uint64_t contentLength() const { return get(contentLength_); }
  std::uint64_t totalBytesRead() const { return get(totalBytesRead_); }
  // Body bytes the peer has taken so far in this attempt (what the connection still holds
  // unsent does not count).
  std::uint64_t totalBytesSent() const { return get(totalBytesSent_); }
  // The connection's send buffer: once more than this was sent, a stalled body times out
  // like any silent transfer.
  std::uint64_t uploadBufferSize() const { return get(uploadBufferSize_); }
  std::uint64_t partialDownloadSize() const { return get(partialDownloadSize_); }
  // The request line and headers of the last attempt, as sent.
  std::string sentRequestLine() const { return get(sentRequestLine_); }
  HeaderMap sentRequestHeaders() const { return get(sentRequestHeaders_); }
  // Number of the pooled connection of the last attempt (0 for none) and whether that
  // connection had already carried a reply before.
  int connectionID() const { return get(connectionID_); }
  bool connectionWasReused() const { return get(connectionWasReused_); }

  // ---- target ----
  std::optional<Url> url() const { return get(url_); }
  void setUrl(std::optional<Url> url);
  std::optional<Url> originalURL() const { return get(originalURL_); }
  std::optional<Url> redirectURL() const { return get(redirectURL_); }
  std::string requestMethod() const { return get(requestMethod_); }
  void setRequestMethod(std::string method) { put(requestMethod_, std::move(method)); }
  std::uint64_t requestID() const { return get(requestID_); }
  std::map<std::string, std::string> userInfo() const { return get(userInfo_); }
  void setUserInfo(std::map<std::string, std::string> info) { put(userInfo_, std::move(info)); }

  // ---- callbacks ----
  HTTPRequestDelegate* delegate() const { return getCallback(delegate_); }
  void setDelegate(HTTPRequestDelegate* d) { putCallback(delegate_, d); }
  std::shared_ptr<HTTPRequestQueue> queue() const { return getCallback(queue_); }
  void setQueue(std::shared_ptr<HTTPRequestQueue> q) { putCallback(queue_, std::move(q)); }
  void setDidStartSelector(Selector s) { putCallback(didStartSelector_, s); }
  void setDidReceiveResponseHeadersSelector(HeadersSelector s) {
    putCallback(didReceiveResponseHeadersSelector_, s);
  }
  void setWillRedirectSelector(RedirectSelector s) { putCallback(willRedirectSelector_, s); }
  void setDidFinishSelector(Selector s) { putCallback(didFinishSelector_, s); }
  void setDidFailSelector(Selector s) { putCallback(didFailSelector_, s); }
  void setDidReceiveDataSelector(DataSelector s) { putCallback(didReceiveDataSelector_, s); }
  void setStartedBlock(Block b) { putCallback(startedBlock_, std::move(b)); }
  void setHeadersReceivedBlock(HeadersBlock b) { putCallback(headersReceivedBlock_, std::move(b)); }
  void setCompletionBlock(Block b) { putCallback(completionBlock_, std::move(b)); }
  void setFailedBlock(Block b) { putCallback(failureBlock_, std::move(b)); }
  void setDataReceivedBlock(DataBlock b) { putCallback(dataReceivedBlock_, std::move(b)); }
  void setRequestRedirectedBlock(Block b) { putCallback(requestRedirectedBlock_, std::move(b)); }
  // This request's own progress: the share of its body sent and of its reply received, on
  // the main loop. A request that starts over (redirect, credentials, retry) takes back what
  // it had reported before sending again, here and in its queue.
  ProgressDelegate* uploadProgressDelegate() const { return getCallback(uploadProgressDelegate_); }
  void setUploadProgressDelegate(ProgressDelegate* d) { putCallback(uploadProgressDelegate_, d); }
  ProgressDelegate* downloadProgressDelegate() const {
    return getCallback(downloadProgressDelegate_);
  }
  void setDownloadProgressDelegate(ProgressDelegate* d) {
    putCallback(downloadProgressDelegate_, d);
  }
  void setUploadProgressBlock(ProgressBlock b) { putCallback(uploadProgressBlock_, std::move(b)); }
  void setDownloadProgressBlock(ProgressBlock b) {
    putCallback(downloadProgressBlock_, std::move(b));
  }
  // Whether the progress delegates are set back to 0 when an attempt starts (off for a
  // delegate that several requests share).
  bool shouldResetUploadProgress() const { return get(shouldResetUploadProgress_); }
  void setShouldResetUploadProgress(bool b) { put(shouldResetUploadProgress_, b); }
  bool shouldResetDownloadProgress() const { return get(shouldResetDownloadProgress_); }
  void setShouldResetDownloadProgress(bool b) { put(shouldResetDownloadProgress_, b); }
  // Told, on the main loop and in order with the other callbacks, when an attempt's message
  // is handed to the connection.
  void setRequestSentBlock(SentBlock b) { putCallback(requestSentBlock_, std::move(b)); }

  // ---- state ----
  bool inProgress() const { return inProgress_.load(); }
  bool complete() const { return get(complete_); }
  bool downloadComplete() const { return get(downloadComplete_); }
  bool needsRedirect() const { return get(needsRedirect_); }
  int authenticationNeeded() const { return get(authenticationNeeded_); }
  bool isSynchronous() const { return get(isSynchronous_); }
  bool didUseCachedResponse() const { return get(didUseCachedResponse_); }
  bool connectionCanBeReused() const { return get(connectionCanBeReused_); }
  bool readStreamIsScheduled() const { return get(readStreamIsScheduled_); }
  std::string runLoopMode() const { return get(runLoopMode_); }

  // ---- timing ----
  double timeOutSeconds() const { return get(timeOutSeconds_); }
  void setTimeOutSeconds(double s) { put(timeOutSeconds_, s); }
  int numberOfTimesToRetryOnTimeout() const { return get(numberOfTimesToRetryOnTimeout_); }
  void setNumberOfTimesToRetryOnTimeout(int n) { put(numberOfTimesToRetryOnTimeout_, n); }
  int retryCount() const { return get(retryCount_); }
  static double defaultTimeOutSeconds();
  static void setDefaultTimeOutSeconds(double seconds);

  // ---- connection ----
  bool shouldAttemptPersistentConnection() const { return get(shouldAttemptPersistentConnection_); }
  void setShouldAttemptPersistentConnection(bool b) { put(shouldAttemptPersistentConnection_, b); }
  double persistentConnectionTimeoutSeconds() const {
    return get(persistentConnectionTimeoutSeconds_);
  }
  void setPersistentConnectionTimeoutSeconds(double s) {
    put(persistentConnectionTimeoutSeconds_, s);
  }
  bool useHTTPVersionOne() const { return get(useHTTPVersionOne_); }
  void setUseHTTPVersionOne(bool b) { put(useHTTPVersionOne_, b); }
  bool validatesSecureCertificate() const { return get(validatesSecureCertificate_); }
  void setValidatesSecureCertificate(bool b) { put(validatesSecureCertificate_, b); }
  // Certificate authorities to trust instead of the system's (a PEM file).
  std::string certificateAuthorityFile() const { return get(certificateAuthorityFile_); }
  void setCertificateAuthorityFile(std::string path) {
    put(certificateAuthorityFile_, std::move(path));
  }

  // ---- redirects ----
  bool shouldRedirect() const { return get(shouldRedirect_); }
  void setShouldRedirect(bool b) { put(shouldRedirect_, b); }
  int redirectCount() const { return get(redirectCount_); }
  bool shouldUseRFC2616RedirectBehaviour() const { return get(shouldUseRFC2616RedirectBehaviour_); }
  void setShouldUseRFC2616RedirectBehaviour(bool b) { put(shouldUseRFC2616RedirectBehaviour_, b); }

  // ---- request construction ----
  void addRequestHeader(std::string_view name, std::string_view value);
  HeaderMap requestHeaders() const { return get(requestHeaders_); }
  void setRequestHeaders(HeaderMap h) { put(requestHeaders_, std::move(h)); }
  std::vector<Cookie> requestCookies() const { return get(requestCookies_); }
  void setRequestCookies(std::vector<Cookie> c) { put(requestCookies_, std::move(c)); }
  bool useCookiePersistence() const { return get(useCookiePersistence_); }
  void setUseCookiePersistence(bool b) { put(useCookiePersistence_, b); }
  bool allowCompressedResponse() const { return get(allowCompressedResponse_); }
  void setAllowCompressedResponse(bool b) { put(allowCompressedResponse_, b); }
  bool shouldWaitToInflateCompressedResponses() const {
    return get(shouldWaitToInflateCompressedResponses_);
  }
  void setShouldWaitToInflateCompressedResponses(bool b) {
    put(shouldWaitToInflateCompressedResponses_, b);
  }
  // The most body bytes (inflated, when the reply is compressed) the request takes before it
  // fails with code 11. Unset: 64 MiB for a body kept in memory, no limit for one sent to a
  // file or handed out piece by piece.
  std::optional<std::uint64_t> maxResponseSize() const { return get(maxResponseSize_); }
  void setMaxResponseSize(std::optional<std::uint64_t> bytes) { put(maxResponseSize_, bytes); }
  static constexpr std::uint64_t kDefaultMaxResponseSizeInMemory = 64u << 20;
  bool shouldCompressRequestBody() const { return get(shouldCompressRequestBody_); }
  void setShouldCompressRequestBody(bool b) { put(shouldCompressRequestBody_, b); }
  bool shouldStreamPostDataFromDisk() const { return get(shouldStreamPostDataFromDisk_); }
  void setShouldStreamPostDataFromDisk(bool b) { put(shouldStreamPostDataFromDisk_, b); }
  void appendPostData(const Data& bytes);
  void appendPostData(std::string_view bytes);
  bool appendPostDataFromFile(const std::string& path);
  void setPostBody(Data body);
  std::optional<Data> postBody() const { return get(postBody_); }
  // Sends the file's bytes as the body, streamed from disk.
  void setPostBodyFilePath(std::string path);
  std::string postBodyFilePath() const { return get(postBodyFilePath_); }
  std::uint64_t postLength() const { return get(postLength_); }
  bool haveBuiltPostBody() const { return get(haveBuiltPostBody_); }
  bool haveBuiltRequestHeaders() const { return get(haveBuiltRequestHeaders_); }
  // Subclasses that make their own body (forms) build it here, then call this.
  virtual void buildPostBody();
  void buildRequestHeaders();
  void applyCookieHeader();
  static std::optional<std::string> defaultUserAgentString();

  // ---- response handling ----
  std::string downloadDestinationPath() const { return get(downloadDestinationPath_); }
  void setDownloadDestinationPath(std::string p) { put(downloadDestinationPath_, std::move(p)); }
  std::string temporaryFileDownloadPath() const { return get(temporaryFileDownloadPath_); }
  void setTemporaryFileDownloadPath(std::string p) {
    put(temporaryFileDownloadPath_, std::move(p));
  }
  bool allowResumeForFileDownloads() const { return get(allowResumeForFileDownloads_); }
  void setAllowResumeForFileDownloads(bool b) { put(allowResumeForFileDownloads_, b); }
  StringEncoding defaultResponseEncoding() const { return get(defaultResponseEncoding_); }
  void setDefaultResponseEncoding(StringEncoding e) { put(defaultResponseEncoding_, e); }
  void parseStringEncodingFromHeaders();
  static void parseMimeType(std::string* mimeType, StringEncoding* encoding,
                            const std::string& contentType,
                            StringEncoding defaultEncoding = ISOLatin1StringEncoding);

  // ---- progress ----
  bool showAccurateProgress() const { return get(showAccurateProgress_); }
  void setShowAccurateProgress(bool b) { put(showAccurateProgress_, b); }

  // ---- proxies ----
  std::string proxyHost() const { return get(proxyHost_); }
  void setProxyHost(std::string h) { put(proxyHost_, std::move(h)); }
  int proxyPort() const { return get(proxyPort_); }
  void setProxyPort(int p) { put(proxyPort_, p); }
  // "HTTP" (also when empty), "HTTPS" (the same HTTP proxy, named for https URLs), "SOCKS"
  // (SOCKS5) or "SOCKS4A". Whether the proxy is reached over TLS is proxyUsesTLS.
  std::string proxyType() const { return get(proxyType_); }
  void setProxyType(std::string t) { put(proxyType_, std::move(t)); }
  // The proxy itself is reached over TLS (an https:// proxy), its certificate checked against
  // its own host name. Requests for https URLs then carry the origin's TLS inside the proxy's.
  bool proxyUsesTLS() const { return get(proxyUsesTLS_); }
  void setProxyUsesTLS(bool b) { put(proxyUsesTLS_, b); }
  // Checks on the proxy's certificate only; the origin's follow validatesSecureCertificate.
  bool validatesProxyCertificate() const { return get(validatesProxyCertificate_); }
  void setValidatesProxyCertificate(bool b) { put(validatesProxyCertificate_, b); }
  // Certificate authorities to trust for the proxy instead of the system's (a PEM file).
  std::string proxyCertificateAuthorityFile() const { return get(proxyCertificateAuthorityFile_); }
  void setProxyCertificateAuthorityFile(std::string path) {
    put(proxyCertificateAuthorityFile_, std::move(path));
  }
  // A proxy auto-configuration script (file, http or https URL) that picks the proxy.
  std::optional<Url> PACurl() const { return get(PACurl_); }
  void setPACurl(std::optional<Url> u) { put(PACurl_, std::move(u)); }
  bool isPACFileRequest() const { return get(isPACFileRequest_); }
  void setIsPACFileRequest(bool b) { put(isPACFileRequest_, b); }
  // The request fetching this request's script, while it runs.
  HTTPRequestPtr PACFileRequest() const { return get(PACFileRequest_); }

  // ---- cache ----
  std::shared_ptr<DownloadCacheInterface> downloadCache() const { return get(downloadCache_); }
  void setDownloadCache(std::shared_ptr<DownloadCacheInterface> c) {
    put(downloadCache_, std::move(c));
  }
  int cachePolicy() const { return get(cachePolicy_); }
  void setCachePolicy(int p) { put(cachePolicy_, p); }
  double secondsToCache() const { return get(secondsToCache_); }
  void setSecondsToCache(double s) { put(secondsToCache_, s); }
  // Which store of the cache keeps the reply: 0 the session store, else the permanent one.
  int cacheStoragePolicy() const { return get(cacheStoragePolicy_); }
  void setCacheStoragePolicy(int p) { put(cacheStoragePolicy_, p); }

  // ---- authentication ----
  bool shouldPresentCredentialsBeforeChallenge() const {
    return get(shouldPresentCredentialsBeforeChallenge_);
  }
  bool useSessionPersistence() const { return get(useSessionPersistence_); }
  void setUseSessionPersistence(bool b) { put(useSessionPersistence_, b); }
  std::string username() const { return get(username_); }
  void setUsername(std::string s) { put(username_, std::move(s)); }
  std::string password() const { return get(password_); }
  void setPassword(std::string s) { put(password_, std::move(s)); }
  std::string domain() const { return get(domain_); }
  void setDomain(std::string s) { put(domain_, std::move(s)); }
  std::string proxyUsername() const { return get(proxyUsername_); }
  void setProxyUsername(std::string s) { put(proxyUsername_, std::move(s)); }
  std::string proxyPassword() const { return get(proxyPassword_); }
  void setProxyPassword(std::string s) { put(proxyPassword_, std::move(s)); }
  std::string proxyDomain() const { return get(proxyDomain_); }
  void setProxyDomain(std::string s) { put(proxyDomain_, std::move(s)); }
  void setShouldPresentCredentialsBeforeChallenge(bool b) {
    put(shouldPresentCredentialsBeforeChallenge_, b);
  }
  bool useCredentialStorage() const { return get(useCredentialStorage_); }
  void setUseCredentialStorage(bool b) { put(useCredentialStorage_, b); }
  bool shouldPresentAuthenticationDialog() const { return get(shouldPresentAuthenticationDialog_); }
  void setShouldPresentAuthenticationDialog(bool b) { put(shouldPresentAuthenticationDialog_, b); }
  bool shouldPresentProxyAuthenticationDialog() const {
    return get(shouldPresentProxyAuthenticationDialog_);
  }
  void setShouldPresentProxyAuthenticationDialog(bool b) {
    put(shouldPresentProxyAuthenticationDialog_, b);
  }
  // The scheme of the last challenge (Basic, Digest). With a user name and password on the
  // request and "Basic" here, Basic credentials go out before any challenge.
  std::string authenticationScheme() const { return get(authenticationScheme_); }
  void setAuthenticationScheme(std::string s) { put(authenticationScheme_, std::move(s)); }
  std::string authenticationRealm() const { return get(authenticationRealm_); }
  int authenticationRetryCount() const { return get(authenticationRetryCount_); }
  HTTPAuthenticationPtr requestAuthentication() const { return get(requestAuthentication_); }
  std::optional<Credentials> requestCredentials() const { return get(requestCredentials_); }
  std::string proxyAuthenticationScheme() const { return get(proxyAuthenticationScheme_); }
  void setProxyAuthenticationScheme(std::string s) {
    put(proxyAuthenticationScheme_, std::move(s));
  }
  std::string proxyAuthenticationRealm() const { return get(proxyAuthenticationRealm_); }
  int proxyAuthenticationRetryCount() const { return get(proxyAuthenticationRetryCount_); }
  HTTPAuthenticationPtr proxyAuthentication() const { return get(proxyAuthentication_); }
  std::optional<Credentials> proxyCredentials() const { return get(proxyCredentials_); }
  void setAuthenticationNeededBlock(Block b) {
    putCallback(authenticationNeededBlock_, std::move(b));
  }
  void setProxyAuthenticationNeededBlock(Block b) {
    putCallback(proxyAuthenticationNeededBlock_, std::move(b));
  }
  // For whoever answered authenticationNeededForRequest: go on with the user name and
  // password (or proxy pair) now set on the request, or give up with "Authentication needed".
  void retryUsingSuppliedCredentials();
  void cancelAuthentication();
  // For the authenticator: what it keeps between attempts and how it steers the transfer
  // (authentication_state.h); on the request's thread, with the request's lock held.
  struct AuthenticationState;
  AuthenticationState& authenticationState();
  void addBasicAuthenticationHeaderWithUsername(std::string_view username,
                                                std::string_view password);
  static std::string base64forData(const Data& bytes);
  // The login dialog, installed by the user interface; called on the main loop.
  using AuthenticationDialogPresenter = std::function<void(const HTTPRequestPtr&, bool proxy)>;
  static void setPresentAuthenticationDialog(AuthenticationDialogPresenter presenter);
  // Session stores of credentials that worked, shared by all requests.
  static std::vector<SessionCredentials> sessionCredentialsStore();
  static std::vector<SessionCredentials> sessionProxyCredentialsStore();
  static void storeAuthenticationCredentialsInSessionStore(SessionCredentials entry);
  static void removeAuthenticationCredentialsFromSessionStore(const Credentials& credentials);
  static void storeProxyAuthenticationCredentialsInSessionStore(SessionCredentials entry);
  static void removeProxyAuthenticationCredentialsFromSessionStore(const Credentials& credentials);
  static void clearSessionCredentials();
  // The platform credential storage (see credential_storage.h).
  static bool saveCredentials(const Credentials& credentials, const std::string& host, int port,
                              const std::string& protocol, const std::string& realm);
  static std::optional<Credentials> savedCredentialsForHost(const std::string& host, int port,
                                                            const std::string& protocol,
                                                            const std::string& realm);
  static void removeCredentialsForHost(const std::string& host, int port,
                                       const std::string& protocol, const std::string& realm);
  static bool saveCredentialsForProxy(const Credentials& credentials, const std::string& host,
                                      int port, const std::string& realm);
  static std::optional<Credentials> savedCredentialsForProxy(const std::string& host, int port,
                                                             const std::string& realm);
  static void removeCredentialsForProxy(const std::string& host, int port,
                                        const std::string& realm);

  // ---- class-wide ----
  static OperationQueue& sharedQueue();
  // Runs `fn` on the network thread; queues of requests start them through it.
  static void postToNetworkThread(std::function<void()> fn);
  static void setDefaultCache(std::shared_ptr<DownloadCacheInterface> cache);
  static std::shared_ptr<DownloadCacheInterface> defaultCache();
  // Nothing puts the standard authenticator back.
  static void setAuthenticator(std::shared_ptr<HTTPRequestAuthenticator> authenticator);
  static void setBandwidthThrottle(std::shared_ptr<BandwidthThrottle> throttle);
  static std::shared_ptr<BandwidthThrottle> bandwidthThrottle();

  // One limit for the bytes all requests move per second (0: none), always or only over
  // mobile links (14800 bytes per second by default there).
  static void setMaxBandwidthPerSecond(std::uint64_t bytes);
  static std::uint64_t maxBandwidthPerSecond();
  static bool isBandwidthThrottled();
  static std::uint64_t averageBandwidthUsedPerSecond();
  static void throttleBandwidthForWWANUsingLimit(std::uint64_t limit);
  static void setShouldThrottleBandwidthForWWAN(bool throttle);
  // Holds this request's transfer back while the shared account is spent, and lets it go on
  // once it is not; called on the thread that drives the request.
  void performThrottling();

  // Cookies kept for this session (a cookie replaces one with the same domain, path, name).
  static std::vector<Cookie> sessionCookies();
  static void setSessionCookies(std::vector<Cookie> cookies);
  static void addSessionCookie(const Cookie& cookie);
  static void clearSession();

  struct PooledConnection {
    int id;
    std::string host;
    int port;
    std::string scheme;
    bool inUse;
    bool open;
  };
  static std::vector<PooledConnection> persistentConnectionsPool();
  static void expirePersistentConnections();
  // Closes and forgets every idle pooled connection.
  static void closeIdlePersistentConnections();

  // Whether any request is transferring, and a hook to show it (called on the main loop).
  static bool isNetworkInUse();
  static void setShouldUpdateNetworkActivityIndicator(bool b);
  static void setNetworkActivityIndicatorHandler(std::function<void(bool visible)> handler);

  // Tests: status ticks of asynchronous requests, and the time they compare against, come
  // from this loop instead of the network thread's real-time one. Null restores real time.
  static void setStatusTimerLoop(RunLoop* loop);

  // Limit on the reply's status line and headers together.
  static constexpr std::uint32_t kMaxResponseHeaderBytes = 65536;

 protected:
  explicit HTTPRequest(std::optional<Url> url);
  // Fails the request (first error wins); for subclasses that find faults building the body.
  void failWithError(const Error& error);
  // A body read piece by piece while it is sent (forms with files); it takes the place of
  // postBody and postBodyFilePath.
  void setPostBodySource(std::shared_ptr<RequestBody> body);

 private:
  // The transfer machinery (request_engine.h).
  struct Impl;
  void authPerformOnRequestThread(std::function<void()> fn);
  void setUrlLocked(std::optional<Url> url);
  template <class T>
  T get(const T& field) const {
    std::lock_guard lock(cancelledLock_);
    return field;
  }
  template <class T, class U>
  void put(T& field, U&& value) {
    std::lock_guard lock(cancelledLock_);
    field = std::forward<U>(value);
  }

  template <class T>
  T getCallback(const T& field) const {
    std::lock_guard lock(callbackLock_);
    return field;
  }
  template <class T, class U>
  void putCallback(T& field, U&& value) {
    std::lock_guard lock(callbackLock_);
    field = std::forward<U>(value);
  }

  mutable std::recursive_mutex cancelledLock_;
  // Guards the delegate, queue, selectors and closures. Kept apart from cancelledLock_, which
  // the network thread holds through whole network events, so that delivering a callback on
  // the main thread never waits for a transfer step.
  mutable std::mutex callbackLock_;

  // target
  std::optional<Url> url_;
  std::optional<Url> originalURL_;
  std::string requestMethod_ = "GET";
  std::uint64_t requestID_ = 0;
  std::map<std::string, std::string> userInfo_;

  // callbacks
  HTTPRequestDelegate* delegate_ = nullptr;
  std::shared_ptr<HTTPRequestQueue> queue_;
  Selector didStartSelector_ = &HTTPRequestDelegate::requestStarted;
  HeadersSelector didReceiveResponseHeadersSelector_ =
      &HTTPRequestDelegate::requestDidReceiveResponseHeaders;
  RedirectSelector willRedirectSelector_ = &HTTPRequestDelegate::requestWillRedirectToURL;
  Selector didFinishSelector_ = &HTTPRequestDelegate::requestFinished;
  Selector didFailSelector_ = &HTTPRequestDelegate::requestFailed;
  DataSelector didReceiveDataSelector_ = &HTTPRequestDelegate::requestDidReceiveData;
  Block startedBlock_;
  HeadersBlock headersReceivedBlock_;
  Block completionBlock_;
  Block failureBlock_;
  DataBlock dataReceivedBlock_;
  Block requestRedirectedBlock_;
  SentBlock requestSentBlock_;
  ProgressDelegate* uploadProgressDelegate_ = nullptr;
  ProgressDelegate* downloadProgressDelegate_ = nullptr;
  ProgressBlock uploadProgressBlock_;
  ProgressBlock downloadProgressBlock_;

  // state
  std::atomic<bool> inProgress_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> cancelled_{false};
  bool complete_ = false;
  bool downloadComplete_ = false;
  bool needsRedirect_ = false;
  int authenticationNeeded_ = 0;
  bool isSynchronous_ = false;
  bool didUseCachedResponse_ = false;
  bool connectionCanBeReused_ = false;
  bool readStreamIsScheduled_ = false;
  std::string runLoopMode_ = DefaultRunLoopMode;

  // timing
  double timeOutSeconds_;
  int numberOfTimesToRetryOnTimeout_ = 0;
  int retryCount_ = 0;

  // connection
  bool shouldAttemptPersistentConnection_ = true;
  double persistentConnectionTimeoutSeconds_ = 60.0;
  bool useHTTPVersionOne_ = false;
  bool validatesSecureCertificate_ = true;
  std::string certificateAuthorityFile_;
  int connectionID_ = 0;
  bool connectionWasReused_ = false;

  // redirects
  bool shouldRedirect_ = true;
  int redirectCount_ = 0;
  std::optional<Url> redirectURL_;
  bool shouldUseRFC2616RedirectBehaviour_ = false;

  // outcome
  int responseStatusCode_ = 0;
  std::string responseStatusMessage_;
  HeaderMap responseHeaders_;
  std::vector<Cookie> responseCookies_;
  Data rawResponseData_;
  StringEncoding responseEncoding_ = ISOLatin1StringEncoding;
  StringEncoding defaultResponseEncoding_ = ISOLatin1StringEncoding;
  std::optional<Error> error_;
  std::uint64_t contentLength_ = 0;
  std::uint64_t totalBytesRead_ = 0;
  std::uint64_t totalBytesSent_ = 0;
  std::uint64_t uploadBufferSize_ = 0;
  std::uint64_t partialDownloadSize_ = 0;
  std::string sentRequestLine_;
  HeaderMap sentRequestHeaders_;

  // request construction
  HeaderMap requestHeaders_;
  std::vector<Cookie> requestCookies_;
  bool useCookiePersistence_ = true;
  std::optional<Data> postBody_;
  std::string postBodyFilePath_;
  bool shouldStreamPostDataFromDisk_ = false;
  bool didCreateTemporaryPostDataFile_ = false;
  bool shouldCompressRequestBody_ = false;
  std::optional<Data> compressedPostBody_;
  std::string compressedPostBodyFilePath_;
  std::shared_ptr<RequestBody> postBodySource_;
  std::uint64_t postLength_ = 0;
  bool haveBuiltPostBody_ = false;
  bool haveBuiltRequestHeaders_ = false;

  // response handling
  bool allowCompressedResponse_ = true;
  bool shouldWaitToInflateCompressedResponses_ = true;
  std::optional<std::uint64_t> maxResponseSize_;
  std::string downloadDestinationPath_;
  std::string temporaryFileDownloadPath_;
  std::string temporaryUncompressedDataDownloadPath_;
  bool allowResumeForFileDownloads_ = false;

  // progress
  bool showAccurateProgress_ = true;
  bool shouldResetDownloadProgress_ = true;
  bool shouldResetUploadProgress_ = true;
  std::weak_ptr<HTTPRequest> mainRequest_;  // of a HEAD request that sizes it

  // proxies
  std::string proxyHost_;
  int proxyPort_ = 0;
  std::string proxyType_;
  bool proxyUsesTLS_ = false;
  bool validatesProxyCertificate_ = true;
  std::string proxyCertificateAuthorityFile_;
  std::optional<Url> PACurl_;
  bool isPACFileRequest_ = false;
  HTTPRequestPtr PACFileRequest_;

  // cache
  std::shared_ptr<DownloadCacheInterface> downloadCache_;
  int cachePolicy_ = 0;
  double secondsToCache_ = 0;
  int cacheStoragePolicy_ = 0;

  // authentication
  bool shouldPresentCredentialsBeforeChallenge_ = true;
  bool shouldPresentProxyAuthenticationDialog_ = true;
  bool useSessionPersistence_ = true;
  std::string username_;
  std::string password_;
  std::string domain_;
  std::string proxyUsername_;
  std::string proxyPassword_;
  std::string proxyDomain_;
  bool useCredentialStorage_ = false;
  bool shouldPresentAuthenticationDialog_ = false;
  std::string authenticationScheme_;
  std::string authenticationRealm_;
  int authenticationRetryCount_ = 0;
  HTTPAuthenticationPtr requestAuthentication_;
  std::optional<Credentials> requestCredentials_;
  std::string proxyAuthenticationScheme_;
  std::string proxyAuthenticationRealm_;
  int proxyAuthenticationRetryCount_ = 0;
  HTTPAuthenticationPtr proxyAuthentication_;
  std::optional<Credentials> proxyCredentials_;
  Block authenticationNeededBlock_;
  Block proxyAuthenticationNeededBlock_;

  std::unique_ptr<Impl> impl_;  // transfer machinery
};

}  // namespace est
