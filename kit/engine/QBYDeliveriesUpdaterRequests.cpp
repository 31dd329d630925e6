// The updater's requests: a script's requestURL becomes a libsoup message on the updater's
// session, or a page load in the sign-in view while a sign-in runs, and each answer goes back
// to the script's loadResponse on the queue.
#include <gio/gio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <thread>
#include <utility>

#include "PorvaneKit.h"
#include "engine/QBYCookieStorage.h"
#include "engine/QBYDeliveriesUpdater.h"
#include "engine/QBYDeliveriesUpdaterInternal.h"
#include "engine/QBYPrivateToken.h"
#include "engine/QBYResponseDecoding.h"
#include "engine/QBYScriptValues.h"
#include "engine/QBYUserAgentChecker.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "util/URLUtilities.h"

namespace qby {

using namespace updater;

namespace {

#ifdef PORVANE_TEST_HOOKS
constexpr const char* kFixtureServerVariable = "PORVANE_FIXTURE_SERVER";
#endif

}  // namespace

std::optional<std::string> QBYDeliveriesUpdater::rewriteForFixtureServer(const std::string& url) {
#ifndef PORVANE_TEST_HOOKS
  // Whoever sets a user's environment must not be able to send carrier requests, with their
  // tokens and passwords, to another host: only test builds know the rewrite.
  return url;
#else
  const char* server = std::getenv(kFixtureServerVariable);
  if (!server || !*server) return url;
  if (!fixtureRewriteLogged_) {
    fixtureRewriteLogged_ = true;
    logMessage(format("Fixture server rewrite active: %@", std::string(server)));
  }
  const GUriPtr uri(g_uri_parse(url.c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr));
  if (!uri) return std::nullopt;
  std::string rewritten = server;
  while (!rewritten.empty() && rewritten.back() == '/') rewritten.pop_back();
  rewritten += "/";
  rewritten += g_uri_get_host(uri.get()) ? g_uri_get_host(uri.get()) : "";
  const char* path = g_uri_get_path(uri.get());
  if (!path || *path != '/') rewritten += "/";
  if (path) rewritten += path;
  if (const char* query = g_uri_get_query(uri.get())) {
    rewritten += "?";
    rewritten += query;
  }
  return rewritten;
#endif
}

void QBYDeliveriesUpdater::requestURL(JSCContext*, const std::vector<JSCValue*>& arguments) {
  if (invalidated()) return;
  const auto text = textArgument(arguments, 0);
  const auto postData = textArgument(arguments, 1);
  auto options = argument(arguments, 2);
  auto requestIDValue = argument(arguments, 3);
  const Value requestID = requestIDValue ? valueFromScript(requestIDValue.get()) : Value();

  // The address the request goes to; the fixture rewrite changes nothing else.
  std::optional<std::string> target = text ? rewriteForFixtureServer(*text) : std::nullopt;
  const GUriPtr uri(
      target ? g_uri_parse(target->c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr)
             : nullptr);
  if (!uri || !isHTTPAddress(uri.get())) {
    logMessage(format("Update failed because the URL was invalid: %@",
                      text ? std::optional(stringByHidingQuerySecrets(*text)) : std::nullopt));
    loadResponse(requestID, "", 0, false, 0);
    return;
  }

  std::shared_ptr<QBYDeliveriesUpdaterCaptureView> view;
  if (capture_) view = capture_->view.lock();
  const auto userAgentOption = optionText(options.get(), "userAgent");
  if (view) {
    capture(*target, requestID, userAgentOption, std::move(view));
    return;
  }

  auto message = GObjectPtr<SoupMessage>::adopt(soup_message_new_from_uri("GET", uri.get()));
  if (!message) {
    logMessage(format("Update failed because the URL was invalid: %@",
                      text ? std::optional(stringByHidingQuerySecrets(*text)) : std::nullopt));
    loadResponse(requestID, "", 0, false, 0);
    return;
  }

  SoupMessageHeaders* headers = soup_message_get_request_headers(message.get());
  // Without the option the session's user agent applies.
  if (userAgentOption && isHeaderValue(*userAgentOption))
    soup_message_headers_replace(headers, "User-Agent", userAgentOption->c_str());
  if (const auto referer = optionText(options.get(), "referer"); referer && isHeaderValue(*referer))
    soup_message_headers_replace(headers, "Referer", referer->c_str());
  if (const auto tokenID = optionText(options.get(), "tokenID")) {
    if (const auto token = QBYPrivateToken::tokenForID(*tokenID); token && isHeaderValue(*token))
      soup_message_headers_replace(headers, "X-Okapi-Key", token->c_str());
  }
  if (options && jsc_value_is_object(options.get())) {
    auto extra =
        GObjectPtr<JSCValue>::adopt(jsc_value_object_get_property(options.get(), "headers"));
    if (extra && jsc_value_is_object(extra.get())) {
      const GStrvPtr names(jsc_value_object_enumerate_properties(extra.get()));
      for (gchar** name = names.get(); name && *name; ++name) {
        const auto value = optionText(extra.get(), *name);
        // Values may hold keys: only the name is ever logged.
        if (!value || !isHeaderName(*name) || !isHeaderValue(*value)) {
          logMessage(format("Ignoring request header %@", std::string(*name)));
          continue;
        }
        soup_message_headers_replace(headers, *name, value->c_str());
      }
    }
  }
  // The "cache" option needs nothing here: the session keeps no cache, so every request is
  // answered by the server, which is what both settings come to.

  // An omitted argument reaches the host as the text "undefined".
  if (postData && !postData->empty() && *postData != "undefined") {
    const auto postType = optionText(options.get(), "postType");
    const std::string contentType =
        postType && isHeaderValue(*postType) ? *postType : "application/x-www-form-urlencoded";
    soup_message_set_method(message.get(), "POST");
    const GBytesPtr body(g_bytes_new(postData->data(), postData->size()));
    soup_message_set_request_body_from_bytes(message.get(), nullptr, body.get());
    soup_message_headers_replace(headers, "Content-type", contentType.c_str());
  }

  if (invalidated()) return;
  auto request = std::make_unique<Request>();
  request->updater = std::static_pointer_cast<QBYDeliveriesUpdater>(shared_from_this());
  request->url = *text;
  request->requestID = requestID;
  request->encoding = optionText(options.get(), "encoding");
  request->message = std::move(message);
  startRequest(std::move(request));
}

// --- Requests through the session ---

std::shared_ptr<QBYDeliveriesUpdater::Network> QBYDeliveriesUpdater::network() {
  // Announced before invalidated_ is read, and invalidate sets invalidated_ before it reads
  // this: either no session is made or invalidate drops the one that is.
  networkMade_ = true;
  if (invalidated_) return nullptr;
  auto& held = *network_;
  if (!held) {
    held = std::make_shared<Network>();
    held->cancellable = GObjectPtr<GCancellable>::retain(stopRequests_.get());
    const auto seconds = static_cast<guint>(std::clamp(requestTimeout(), 1.0, 3600.0));
    const std::string userAgent =
        this->userAgent().value_or(QBYUserAgentChecker::defaultUserAgent());
    // Made on the queue's thread, so its answers arrive on the queue. TLS certificates are
    // checked against the system's trust store, and nothing here accepts one that fails.
    // libsoup adds no cache unless asked, so no response is ever served from one.
    held->userAgent = userAgent;
    // libsoup's own limit of two connections per host would send a batch's requests to one
    // carrier two at a time, each waiting for an earlier answer to be read and handed to the
    // script; a batch is meant to be fetched side by side.
    held->session = GObjectPtr<SoupSession>::adopt(
        soup_session_new_with_options("timeout", seconds, "idle-timeout", seconds,
                                      "max-conns-per-host", kMaximumConnectionsPerHost, nullptr));
    if (auto jar = groupCookieJar(QBYAppGroupID))
      soup_session_add_feature(held->session.get(), SOUP_SESSION_FEATURE(jar.get()));
  }
  return held;
}

void QBYDeliveriesUpdater::startRequest(std::unique_ptr<Request> request) {
  auto network = this->network();
  if (!network) return;
  SoupMessageHeaders* headers = soup_message_get_request_headers(request->message.get());
  if (!soup_message_headers_get_one(headers, "User-Agent"))
    soup_message_headers_replace(headers, "User-Agent", network->userAgent.c_str());
  request->network = network;
  request->generation = batch_.generation;
  network->inFlight++;
  if (batch_.active) batch_.outstanding++;
  // The session's time-out only counts silence; this one counts the whole request.
  request->arm(static_cast<guint>(std::clamp(requestTimeout(), 1.0, 3600.0)));
  SoupMessage* message = request->message.get();
  GCancellable* cancellable = request->cancellable.get();
  soup_session_send_async(network->session.get(), message, G_PRIORITY_DEFAULT, cancellable,
                          &QBYDeliveriesUpdater::requestSent, request.release());
}

void QBYDeliveriesUpdater::requestSent(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Request> request(static_cast<Request*>(data));
  GError* error = nullptr;
  GInputStream* stream = soup_session_send_finish(SOUP_SESSION(source), result, &error);
  GErrorPtr ownedError(error);
  if (!stream) {
    auto updater = request->updater.lock();
    if (!updater) {
      log("Updater is no longer available");
      return;
    }
    updater->requestFinished(std::move(request), ownedError.get());
    return;
  }
  request->stream = GObjectPtr<GInputStream>::adopt(stream);
  readNext(std::move(request));
}

void QBYDeliveriesUpdater::readNext(std::unique_ptr<Request> request) {
  GInputStream* stream = request->stream.get();
  GCancellable* cancellable = request->cancellable.get();
  if (!request->chunk) request->chunk = std::make_unique_for_overwrite<char[]>(kReadChunkSize);
  char* chunk = request->chunk.get();
  g_input_stream_read_async(stream, chunk, kReadChunkSize, G_PRIORITY_DEFAULT, cancellable,
                            &QBYDeliveriesUpdater::bodyRead, request.release());
}

void QBYDeliveriesUpdater::bodyRead(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Request> request(static_cast<Request*>(data));
  GError* error = nullptr;
  const gssize read = g_input_stream_read_finish(G_INPUT_STREAM(source), result, &error);
  GErrorPtr ownedError(error);
  const gsize size = read > 0 ? static_cast<gsize>(read) : 0;
  if (size > 0) {
    if (request->body.size() + size > kMaximumResponseSize) {
      request->tooLarge = true;
    } else {
      request->body.append(request->chunk.get(), size);
    }
  }
  if (!ownedError && size > 0 && !request->tooLarge) {
    readNext(std::move(request));
    return;
  }
  auto updater = request->updater.lock();
  if (!updater) {
    log("Updater is no longer available");
    return;
  }
  GErrorPtr failure = std::move(ownedError);
  if (request->tooLarge) {
    failure.reset(g_error_new(G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE,
                              "The response is larger than %zu bytes", kMaximumResponseSize));
  }
  // A body cut short by an error is no answer; the script learns that it failed.
  if (failure) request->body.clear();
  updater->requestFinished(std::move(request), failure.get());
}

void QBYDeliveriesUpdater::requestFinished(std::unique_ptr<Request> request, GError* error) {
  GErrorPtr timeout;
  if (error && request->timedOut()) {
    // Whatever part of the body came is no answer: the script learns that the request failed.
    request->body.clear();
    timeout.reset(g_error_new(G_IO_ERROR, G_IO_ERROR_TIMED_OUT,
                              "The request did not complete within %u seconds",
                              request->deadlineSeconds));
    error = timeout.get();
  }
  const unsigned status = request->message ? soup_message_get_status(request->message.get()) : 0;
  const std::uint64_t generation = request->generation;
  if (generation == batch_.generation && batch_.outstanding > 0) batch_.outstanding--;

  std::string text;
  bool offline = false;
  if (!request->body.empty()) {
    std::optional<std::string> encoding = request->encoding;
    if (!encoding && request->message) {
      GHashTable* parameters = nullptr;
      soup_message_headers_get_content_type(
          soup_message_get_response_headers(request->message.get()), &parameters);
      if (parameters) {
        if (const auto* charset =
                static_cast<const char*>(g_hash_table_lookup(parameters, "charset")))
          encoding = std::string(charset);
        g_hash_table_destroy(parameters);
      }
    }
    auto decoded = decodeResponseData(request->body, encoding);
    if (decoded.text) {
      text = std::move(*decoded.text);
    } else {
      logMessage(format("Decoding data failed with encoding: %lu lossy: %@", decoded.encoding,
                        std::string(decoded.lossy ? "YES" : "NO")));
    }
    request->body.clear();
    request->body.shrink_to_fit();
  } else {
    std::optional<std::string> response;
    if (status != 0) {
      const char* reason = soup_message_get_reason_phrase(request->message.get());
      response = format("<SoupMessage: %@> { status code: %u, reason: %@ }",
                        stringByHidingQuerySecrets(request->url), status,
                        std::string(reason ? reason : ""));
    }
    std::optional<QBYError> failure;
    if (error) failure = errorFromGError(error);
    logMessage(format("Data task failed with response: %@ error: %@, %@", response, failure,
                      failure ? Value(failure->userInfo) : Value()));
    offline = isInternetConnectionError(error);
  }

  if (invalidated()) {
    logMessage("Update cancelled because the context was reset");
    return;
  }
  if (troubleshooting())
    logMessage(format("\nURL: %@\nSTATUS: %@\n%@\n", stringByHidingQuerySecrets(request->url),
                      status, text));
  const Value requestID = std::move(request->requestID);
  // The request (and its share of the session) goes before the script runs on.
  request.reset();
  loadResponse(requestID, text, status, offline, generation);
  endBatchIfStuck();
}

bool QBYDeliveriesUpdater::isInternetConnectionError(const GError* error) {
  // The counterpart of "not connected to the internet": the connection failed before any
  // server could be reached because there is no route or no name service, and the system
  // reports no network at all. Either sign alone says less: a network can be unreachable
  // for one address family on a connected machine, and a resolver fails now and then while
  // the network is fine; a monitor's "no network" alone would also mark a refused connection
  // or a server's time-out as the user's fault.
  if (!error) return false;
  const bool unreachable =
      g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE) ||
      g_error_matches(error, G_RESOLVER_ERROR, G_RESOLVER_ERROR_TEMPORARY_FAILURE);
  if (!unreachable) return false;
  std::function<bool()> networkAvailable;
  {
    std::lock_guard lock(settingsMutex_);
    networkAvailable = networkAvailable_;
  }
  if (networkAvailable) return !networkAvailable();
  return !g_network_monitor_get_network_available(g_network_monitor_get_default());
}

// --- Requests through the sign-in view ---

void QBYDeliveriesUpdater::capture(const std::string& url, const Value& requestID,
                                   const std::optional<std::string>& userAgent,
                                   std::shared_ptr<QBYDeliveriesUpdaterCaptureView> view) {
  const std::uint64_t generation = batch_.generation;
  if (batch_.active) batch_.outstanding++;
  std::weak_ptr<QBYDeliveriesUpdater> weak =
      std::static_pointer_cast<QBYDeliveriesUpdater>(shared_from_this());
  auto answered = std::make_shared<std::atomic<bool>>(false);
  QBYDeliveriesUpdaterCaptureView::CaptureHandler handler = [weak, requestID, generation, answered](
                                                                std::optional<std::string> page,
                                                                std::optional<QBYError> error) {
    // A view that answers twice would make the script see one request end twice.
    if (answered->exchange(true)) return;
    auto updater = weak.lock();
    if (!updater) {
      log("Updater is no longer available");
      return;
    }
    if (!page) {
      updater->logMessage(format("Capture failed with error: %@, %@", error,
                                 error ? Value(error->userInfo) : Value()));
    }
    if (updater->invalidated()) {
      updater->logMessage("Update cancelled because the context was reset");
      return;
    }
    // The view may answer on any thread; the context is used on the queue only.
    updater->runBlock([weak, requestID, generation, page = std::move(page)](JSCContext*) {
      auto updater = weak.lock();
      if (!updater) return;
      if (generation == updater->batch_.generation && updater->batch_.outstanding > 0)
        updater->batch_.outstanding--;
      updater->loadResponse(requestID, page.value_or(""), page ? 200 : 500, !page, generation);
      updater->endBatchIfStuck();
    });
  };
  MainQueue::async([view = std::move(view), url, userAgent, handler = std::move(handler)] {
    view->captureResponseFromURL(url, userAgent, handler);
  });
}

void QBYDeliveriesUpdater::retireNetwork(std::shared_ptr<std::shared_ptr<Network>> slot,
                                         std::shared_ptr<QBYOperationQueue> queue) {
  if (!slot || !queue) return;
  const auto drain = [](std::shared_ptr<Network>& held) {
    auto network = std::move(held);
    if (network) network->drain();
  };
  if (queue->isCurrent()) {
    drain(*slot);
    return;
  }
  queue->addOperation([drain, slot = std::move(slot)] { drain(*slot); });
  // The queue must not be released on its own thread, and the caller must not wait for a
  // script that may still be running on it.
  std::thread([queue = std::move(queue)] {
    queue->waitUntilAllOperationsAreFinished(std::numeric_limits<double>::infinity());
  }).detach();
}

}  // namespace qby
