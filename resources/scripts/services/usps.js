// USPS: the Tracking 3.0 REST API with an OAuth client-credentials token (consumer key and
// secret of the user's own developer app). There is no public data interface, so without
// credentials the delivery points at the public tracking page.

var host = 'https://apis.usps.com';

function webURL(task) {
  return 'https://tools.usps.com/go/TrackConfirmAction?tLabels=' + encodeURIComponent(task.number);
}

function event(entry) {
  return Q.event(
      Q.isoDateTime(entry.eventTimestamp), entry.eventType,
      Q.join(Q.capitalize(entry.eventCity), entry.eventState, entry.eventZIP, entry.eventCountry));
}

function stateOf(answer) {
  var category = Q.string(answer.statusCategory).toLowerCase();
  if (category === 'delivered') return 'delivered';
  if (category === 'out for delivery') return 'out';
  if (category === 'alert') return 'exception';
  if (category === 'pre-shipment' || category === 'pre-transit') return 'pending';
  return 'transit';
}

function answer(task, response, tokenKey) {
  if (response.status === 401 || response.status === 403) {
    delete Tracking.tokens[tokenKey];
    task.fail(S.credentialsRejected);
    return;
  }
  if (response.status === 404) {
    task.notFound();
    return;
  }
  var data = task.answerJSON(response);
  if (!data) return;
  if (Array.isArray(data)) data = data[0] || {};
  if (data.error || response.status >= 400) {
    var message = Q.string(Q.get(data, 'error', 'message'));
    if (/not found|not available|could not locate/i.test(message))
      task.notFound();
    else
      task.fail(Q.format(S.serverError, response.status));
    return;
  }
  var events = Q.array(data.trackingEvents).map(event);
  if (!events.length && !data.statusCategory) {
    task.notFound();
    return;
  }
  task.finishTracking({
    state: stateOf(data),
    text: Q.string(data.status || data.statusSummary),
    events: events,
    expected: Q.isoDay(data.expectedDeliveryDate) || Q.isoDay(data.predictedDeliveryDate),
  });
}

registerService('www.usps.com', {
  webURL: webURL,
  track: function(task) {
    var clientID = task.credential('clientID');
    var clientSecret = task.credential('clientSecret');
    if (!clientID || !clientSecret) {
      task.openWebPage();
      return;
    }
    var tokenKey = 'www.usps.com ' + clientID;
    task.bearerToken(
        {
          cacheKey: tokenKey,
          url: host + '/oauth2/v3/token',
          postType: 'application/json',
          body: JSON.stringify({
            client_id: clientID,
            client_secret: clientSecret,
            grant_type: 'client_credentials',
          }),
        },
        function(token) {
          var url =
              host + '/tracking/v3/tracking/' + encodeURIComponent(task.number) + '?expand=DETAIL';
          var options = {cache: false, headers: {Authorization: 'Bearer ' + token}};
          task.request(
              url, undefined, options, function(response) { answer(task, response, tokenKey); });
        });
  },
});
