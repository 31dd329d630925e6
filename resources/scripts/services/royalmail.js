// Royal Mail: the Tracking API ("mailpieces" v2). It needs an application's client ID and
// secret from Royal Mail's developer portal; without them the public tracking page is offered.
// No source we could check describes data of Royal Mail's tracking page that answers
// without a key, so this module has no keyless path yet.
//
// Sources: Royal Mail's developer documentation of the Tracking API v2 (developer.royalmail.net:
// mailPieces, summary, events, error codes E1142/E1144). Checked 2026-12-08.

// What may change when Royal Mail changes its interface.
var KEY = 'www.royalmail.com';
var API = 'https://api.royalmail.net/mailpieces/v2/';

// Event codes that mean the piece reached its recipient, whatever the summary says.
var DELIVERED_CODES = ['EVKSP', 'EVKOP', 'EVKSF', 'EVKLS', 'EVKGS'];
// Attempted deliveries and returns: the piece still moves, but the user has to act.
var EXCEPTION_CODES = ['EVKNA', 'EVKNR', 'EVKRT', 'EVKRF', 'EVORI'];

function pageURL(number) {
  return 'https://www.royalmail.com/track-your-item#/tracking-results/' +
      encodeURIComponent(number);
}

function pageLinks(task) { return task.pageLinks(pageURL); }

function offerPage(task) { task.offerWebPage(pageURL); }

function stateOf(summary, latest) {
  var category = Q.string(summary.statusCategory).toUpperCase();
  var code = summary.lastEventCode || latest.eventCode || '';
  if (category === 'DELIVERED' || DELIVERED_CODES.indexOf(code) >= 0) return 'delivered';
  if (EXCEPTION_CODES.indexOf(code) >= 0 || /RETURN|EXCEPTION|ATTEMPT/.test(category))
    return 'exception';
  return 'transit';
}

function pieceItem(task, piece) {
  var summary = piece.summary || {};
  var events = Q.array(piece.events).slice();
  // The history reads newest first, whatever order the interface used.
  events.sort(function(
      a, b) { return (Date.parse(b.eventDateTime) || 0) - (Date.parse(a.eventDateTime) || 0); });
  var latest = events[0] || {};
  return Q.trackingItem(task.itemName, {
    state: stateOf(summary, latest),
    status: summary.lastEventName || latest.eventName || summary.statusDescription,
    statusDate: summary.lastEventDateTime || latest.eventDateTime,
    firstDate: (events[events.length - 1] || {}).eventDateTime,
    expected: Q.isoDay(Q.get(piece, 'estimatedDelivery', 'date')),
    location: Q.trim(summary.lastEventLocationName || latest.locationName) || undefined,
    history: events.map(function(event) {
      return Q.event(Q.isoDateTime(event.eventDateTime), event.eventName, event.locationName);
    })
  });
}

// Answers without tracking data. Refused credentials are reported rather than hidden behind
// the public page, so that the user can fix the configuration.
function problem(task, response) { task.failForResponse(response, pageLinks(task)); }

function answer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  var piece = Q.get(body, 'mailPieces');
  if (response.status === 200 && piece && typeof piece === 'object') {
    var item = pieceItem(task, piece);
    return task.finish(
        Q.results(2, Object.assign(pageLinks(task), {items: [item], interval: Q.itemsInterval([item])})));
  }
  // E1142 and friends: the barcode is unknown or has no events yet.
  if (response.status === 404 || (response.status === 400 && Q.array(Q.get(body, 'errors')).length))
    return task.notFound(undefined, pageLinks(task));
  problem(task, response);
}

registerService(KEY, {
  access: 'keys',
  credentials: ['clientID', 'clientSecret'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var clientID = task.credential('clientID');
    var secret = task.credential('clientSecret');
    if (!clientID || !secret) return offerPage(task);
    task.request(
        API + encodeURIComponent(task.number) + '/events', undefined, {
          cache: false,
          headers: {
            'X-IBM-Client-Id': clientID,
            'X-IBM-Client-Secret': secret,
            'X-Accept-RMG-Terms': 'yes',
            'Accept': 'application/json'
          }
        },
        function(response) { answer(task, response); });
  }
});
