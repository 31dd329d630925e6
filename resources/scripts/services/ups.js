// UPS: the Tracking API (track/v1/details) with an OAuth client-credentials token. The client
// ID and secret are the user's own, configured outside the repository; without them the
// delivery points at the public tracking page. No source we could check describes data of
// UPS's tracking page that answers without a token from the page's own session, so this
// module has no keyless path yet.
//
// Sources: UPS's developer documentation of OAuth client credentials and the Tracking API
// (developer.ups.com: trackResponse, shipment, package, activity, currentStatus,
// deliveryDate). Checked 2026-12-08.

// What may change when UPS changes its interface.

var host = 'https://onlinetools.ups.com';
var requestCounter = 0;

function pageURL(number) {
  return 'https://www.ups.com/track?tracknum=' + encodeURIComponent(number);
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

function answer(task, response) {
  var links = task.pageLinks(pageURL);
  if (response.status === 404) return task.notFound(undefined, links);
  var data = Q.json(response.text);
  if (response.status === 401 || response.status === 403 || !data || typeof data !== 'object')
    return task.failForResponse(response, links);
  if (response.status >= 400) {
    var message = Q.string(Q.get(data, 'response', 'errors', 0, 'message'));
    if (/not found|invalid/i.test(message)) return task.notFound(undefined, links);
    return task.failForResponse(response, links);
  }
  var pkg = Q.get(data, 'trackResponse', 'shipment', 0, 'package', 0);
  if (!pkg) {
    if (isNotFoundWarning(data)) return task.notFound(undefined, links);
    return task.fail(S.unreadable, links);
  }
  var activities = Q.array(pkg.activity);
  var current = pkg.currentStatus || Q.get(activities, 0, 'status') || {};
  var code = Q.string(current.type);
  var state = states[code] || 'transit';
  if (code === 'I' && /out for delivery/i.test(Q.string(current.description))) state = 'out';
  var events = Q.newestFirst(activities.map(event));
  task.found([Q.trackingItem(task.itemName, {
    state: state,
    status: Q.string(current.simplifiedTextDescription || current.description),
    statusDate: (events[0] || {}).date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: deliveryDay(pkg, ['DEL']),
    expected: deliveryDay(pkg, ['SDD', 'RDD']),
    location: (events[0] || {}).location,
    history: events,
  })], links);
}

registerService('www.ups.com', {
  access: 'keys',
  credentials: ['clientID', 'clientSecret'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var clientID = task.credential('clientID');
    var clientSecret = task.credential('clientSecret');
    if (!clientID || !clientSecret) return task.offerWebPage(pageURL);
    var links = task.pageLinks(pageURL);
    task.clientCredentialsToken(
        {url: host + '/security/v1/oauth/token', clientID: clientID, clientSecret: clientSecret,
         basic: true},
        links, function(token) {
          requestCounter += 1;
          var url = host + '/api/track/v1/details/' + encodeURIComponent(task.number) + '?' +
              Q.query({locale: 'en_US', returnSignature: 'false', returnMilestones: 'false'});
          var headers = {
            Authorization: 'Bearer ' + token,
            transId: 'porvane-' + Q.hash(Q.string(task.delivery.uuid)) + '-' + requestCounter,
            transactionSrc: 'porvane',
          };
          task.progress(S.fetchingDetails);
          task.request(url, undefined, {cache: false, headers: headers},
                       function(response) { answer(task, response); });
        });
  },
});
