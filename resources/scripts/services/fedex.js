// FedEx: the Track API (track/v1/trackingnumbers) with an OAuth client-credentials token from
// the user's own API project; without credentials the delivery points at the public page.
// No source we could check describes data of FedEx's tracking page that answers without a
// key of the page's own, so this module has no keyless path yet.
//
// Sources: FedEx's developer documentation of the OAuth API and the Track API
// (developer.fedex.com: trackingInfo, completeTrackResults, latestStatusDetail, scanEvents,
// dateAndTimes). Checked 2026-12-08.

// What may change when FedEx changes its interface.

var host = 'https://apis.fedex.com';

function pageURL(number) {
  return 'https://www.fedex.com/fedextrack/?trknbr=' + encodeURIComponent(number);
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

function answer(task, response) {
  var links = task.pageLinks(pageURL);
  var data = Q.json(response.text);
  var result = Q.get(data, 'output', 'completeTrackResults', 0, 'trackResults', 0);
  if (response.status === 401 || response.status === 403 || !data || typeof data !== 'object')
    return task.failForResponse(response, links);
  if (!result) {
    if (/NOT\.?FOUND/i.test(Q.string(Q.get(data, 'errors', 0, 'code'))))
      return task.notFound(undefined, links);
    return task.failForResponse(response, links);
  }
  // An unknown number is a result with an error inside, answered with status 200.
  if (result.error && !result.latestStatusDetail) {
    if (/NOT\.?FOUND/i.test(Q.string(result.error.code))) return task.notFound(undefined, links);
    return task.fail(Q.string(result.error.message) || S.failed, links);
  }
  var latest = result.latestStatusDetail || {};
  var events = Q.newestFirst(Q.array(result.scanEvents).map(event));
  task.found([Q.trackingItem(task.itemName, {
    state: stateOf(Q.string(latest.derivedCode || latest.code)),
    status: Q.string(latest.statusByLocale || latest.description),
    statusDate: (events[0] || {}).date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: dateOfType(result, 'ACTUAL_DELIVERY'),
    expected: dateOfType(result, 'ESTIMATED_DELIVERY') ||
        Q.isoDay(Q.get(result, 'estimatedDeliveryTimeWindow', 'window', 'ends')),
    location: (events[0] || {}).location,
    history: events,
  })], links);
}

registerService('www.fedex.com', {
  access: 'keys',
  credentials: ['clientID', 'clientSecret'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var clientID = task.credential('clientID');
    var clientSecret = task.credential('clientSecret');
    if (!clientID || !clientSecret) return task.offerWebPage(pageURL);
    var links = task.pageLinks(pageURL);
    task.clientCredentialsToken(
        {url: host + '/oauth/token', clientID: clientID, clientSecret: clientSecret}, links,
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
          task.progress(S.fetchingDetails);
          task.request(host + '/track/v1/trackingnumbers', body, options,
                       function(response) { answer(task, response); });
        });
  },
});
