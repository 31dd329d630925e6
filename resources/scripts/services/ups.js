// UPS: the Tracking API (track/v1/details) with an OAuth client-credentials token. The client
// ID and secret are the user's own, configured outside the repository; without them the
// delivery points at the public tracking page.

var host = 'https://onlinetools.ups.com';
var requestCounter = 0;

function webURL(task) {
  return 'https://www.ups.com/track?tracknum=' + encodeURIComponent(task.number);
}

// Activity "date" is YYYYMMDD and "time" HHMMSS, local to the scan.
function event(activity) {
  var address = Q.get(activity, 'location', 'address') || {};
  return Q.event(
      Q.isoDateTime(activity.date, activity.time || '000000'),
      Q.get(activity, 'status', 'description'),
      Q.join(Q.capitalize(address.city), address.stateProvince, address.countryCode));
}

var states = {D: 'delivered', X: 'exception', M: 'pending', P: 'transit', I: 'transit', O: 'out'};

function deliveryDay(pkg, types) {
  var found;
  Q.array(pkg.deliveryDate).forEach(function(entry) {
    if (!found && entry && types.indexOf(entry.type) >= 0) found = Q.isoDay(entry.date);
  });
  return found;
}

function isNotFoundWarning(answer) {
  var text = JSON.stringify(Q.get(answer, 'trackResponse', 'shipment', 0, 'warnings') || []);
  return /not found|invalid inquiry/i.test(text);
}

function answer(task, response, tokenKey) {
  if (response.status === 404) {
    task.notFound();
    return;
  }
  if (response.status === 401 || response.status === 403) {
    // The token may have been revoked; the next update asks for a new one.
    delete Tracking.tokens[tokenKey];
    task.fail(S.credentialsRejected);
    return;
  }
  var data = task.answerJSON(response);
  if (!data) return;
  if (response.status >= 400) {
    var message = Q.get(data, 'response', 'errors', 0, 'message');
    Q.log('UPS error ' + response.status + ': ' + Q.string(message));
    if (/not found|invalid/i.test(Q.string(message)))
      task.notFound();
    else
      task.fail(Q.format(S.serverError, response.status));
    return;
  }
  var pkg = Q.get(data, 'trackResponse', 'shipment', 0, 'package', 0);
  if (!pkg) {
    if (isNotFoundWarning(data))
      task.notFound();
    else
      task.fail(S.unreadable);
    return;
  }
  var activities = Q.array(pkg.activity);
  var current = pkg.currentStatus || Q.get(activities, 0, 'status') || {};
  var code = Q.string(current.type);
  var state = states[code] || 'transit';
  if (code === 'I' && /out for delivery/i.test(Q.string(current.description))) state = 'out';
  task.finishTracking({
    state: state,
    text: Q.string(current.simplifiedTextDescription || current.description),
    events: activities.map(event),
    expected: deliveryDay(pkg, ['SDD', 'RDD']),
    delivered: deliveryDay(pkg, ['DEL']),
  });
}

registerService('www.ups.com', {
  webURL: webURL,
  track: function(task) {
    var clientID = task.credential('clientID');
    var clientSecret = task.credential('clientSecret');
    if (!clientID || !clientSecret) {
      task.openWebPage();
      return;
    }
    var tokenKey = 'www.ups.com ' + clientID;
    task.bearerToken(
        {
          cacheKey: tokenKey,
          url: host + '/security/v1/oauth/token',
          body: Q.form({grant_type: 'client_credentials'}),
          headers: {Authorization: 'Basic ' + Q.base64(clientID + ':' + clientSecret)},
        },
        function(token) {
          requestCounter += 1;
          var url = host + '/api/track/v1/details/' + encodeURIComponent(task.number) + '?' +
              Q.query({locale: 'en_US', returnSignature: 'false', returnMilestones: 'false'});
          var headers = {
            Authorization: 'Bearer ' + token,
            transId: 'porvane-' + Q.hash(Q.string(task.delivery.uuid)) + '-' + requestCounter,
            transactionSrc: 'porvane',
          };
          task.request(
              url, undefined, {cache: false, headers: headers},
              function(response) { answer(task, response, tokenKey); });
        });
  },
});
