// FedEx: the Track API (track/v1/trackingnumbers) with an OAuth client-credentials token from
// the user's own API project; without credentials the delivery points at the public page.

var host = 'https://apis.fedex.com';

function webURL(task) {
  return 'https://www.fedex.com/fedextrack/?trknbr=' + encodeURIComponent(task.number);
}

function event(scan) {
  var place = scan.scanLocation || {};
  return Q.event(
      Q.isoDateTime(scan.date), scan.eventDescription,
      Q.join(Q.capitalize(place.city), place.stateOrProvinceCode, place.countryCode));
}

function stateOf(code) {
  switch (code) {
    case 'DL':
      return 'delivered';
    case 'OD':
      return 'out';
    case 'DE':
    case 'SE':
    case 'CA':
    case 'DY':
    case 'RS':
      return 'exception';
    case 'OC':
    case 'IN':
      return 'pending';
    default:
      return 'transit';
  }
}

function dateOfType(result, type) {
  var found;
  Q.array(result.dateAndTimes).forEach(function(entry) {
    if (!found && entry && entry.type === type) found = Q.isoDay(entry.dateTime);
  });
  return found;
}

function answer(task, response, tokenKey) {
  if (response.status === 401 || response.status === 403) {
    delete Tracking.tokens[tokenKey];
    task.fail(S.credentialsRejected);
    return;
  }
  var data = task.answerJSON(response);
  if (!data) return;
  var result = Q.get(data, 'output', 'completeTrackResults', 0, 'trackResults', 0);
  if (!result) {
    var code = Q.string(Q.get(data, 'errors', 0, 'code'));
    if (/NOT\.?FOUND/i.test(code))
      task.notFound();
    else
      task.fail(response.status >= 400 ? Q.format(S.serverError, response.status) : S.unreadable);
    return;
  }
  // An unknown number is a result with an error inside, answered with status 200.
  if (result.error && !result.latestStatusDetail) {
    if (/NOT\.?FOUND/i.test(Q.string(result.error.code)))
      task.notFound();
    else
      task.fail(Q.string(result.error.message) || S.failed);
    return;
  }
  var latest = result.latestStatusDetail || {};
  var latestCode = Q.string(latest.derivedCode || latest.code);
  task.finishTracking({
    state: stateOf(latestCode),
    text: Q.string(latest.statusByLocale || latest.description),
    events: Q.array(result.scanEvents).map(event),
    expected: dateOfType(result, 'ESTIMATED_DELIVERY') ||
        Q.isoDay(Q.get(result, 'estimatedDeliveryTimeWindow', 'window', 'ends')),
    delivered: dateOfType(result, 'ACTUAL_DELIVERY'),
  });
}

registerService('www.fedex.com', {
  webURL: webURL,
  track: function(task) {
    var clientID = task.credential('clientID');
    var clientSecret = task.credential('clientSecret');
    if (!clientID || !clientSecret) {
      task.openWebPage();
      return;
    }
    var tokenKey = 'www.fedex.com ' + clientID;
    task.bearerToken(
        {
          cacheKey: tokenKey,
          url: host + '/oauth/token',
          body: Q.form({
            grant_type: 'client_credentials',
            client_id: clientID,
            client_secret: clientSecret,
          }),
        },
        function(token) {
          var body = JSON.stringify({
            includeDetailedScans: true,
            trackingInfo: [{trackingNumberInfo: {trackingNumber: task.number}}],
          });
          var options = {
            postType: 'application/json',
            cache: false,
            headers: {Authorization: 'Bearer ' + token, 'X-locale': 'en_US'},
          };
          task.request(
              host + '/track/v1/trackingnumbers', body, options,
              function(response) { answer(task, response, tokenKey); });
        });
  },
});
