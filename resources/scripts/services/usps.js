// USPS: the Tracking 3.0 REST API with an OAuth client-credentials token (consumer key and
// secret of the user's own developer app). USPS's tracking page is a server-rendered page
// rather than data, and no source we could check describes its markup well enough to read it
// safely, so without credentials the delivery points at the public tracking page.
//
// Sources: USPS's developer documentation of OAuth 3 and Tracking 3.0 (developers.usps.com:
// trackingEvents, statusCategory, expectedDeliveryDate). Checked 2026-12-08.

// What may change when USPS changes its interface.

var host = 'https://apis.usps.com';

function pageURL(number) {
  return 'https://tools.usps.com/go/TrackConfirmAction?tLabels=' + encodeURIComponent(number);
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

function answer(task, response) {
  var links = task.pageLinks(pageURL);
  if (response.status === 404) return task.notFound(undefined, links);
  var data = Q.json(response.text);
  if (response.status === 401 || response.status === 403 || !data || typeof data !== 'object')
    return task.failForResponse(response, links);
  if (Array.isArray(data)) data = data[0] || {};
  if (data.error || response.status >= 400) {
    var message = Q.string(Q.get(data, 'error', 'message'));
    if (/not found|not available|could not locate/i.test(message))
      return task.notFound(undefined, links);
    return task.failForResponse(response, links);
  }
  var events = Q.newestFirst(Q.array(data.trackingEvents).map(event));
  if (!events.length && !data.statusCategory) return task.notFound(undefined, links);
  task.found([Q.trackingItem(task.itemName, {
    state: stateOf(data),
    status: Q.string(data.status || data.statusSummary),
    statusDate: (events[0] || {}).date,
    firstDate: (events[events.length - 1] || {}).date,
    expected: Q.isoDay(data.expectedDeliveryDate) || Q.isoDay(data.predictedDeliveryDate),
    location: (events[0] || {}).location,
    history: events,
  })], links);
}

registerService('www.usps.com', {
  access: 'keys',
  credentials: ['clientID', 'clientSecret'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var clientID = task.credential('clientID');
    var clientSecret = task.credential('clientSecret');
    if (!clientID || !clientSecret) return task.offerWebPage(pageURL);
    var links = task.pageLinks(pageURL);
    task.clientCredentialsToken(
        {url: host + '/oauth2/v3/token', clientID: clientID, clientSecret: clientSecret,
         json: true},
        links, function(token) {
          var url =
              host + '/tracking/v3/tracking/' + encodeURIComponent(task.number) + '?expand=DETAIL';
          task.progress(S.fetchingDetails);
          task.request(url, undefined, {cache: false, headers: {Authorization: 'Bearer ' + token}},
                       function(response) { answer(task, response); });
        });
  },
});
