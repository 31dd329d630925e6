// Royal Mail: the Tracking API ("mailpieces" v2). It needs an application's client ID and
// secret from Royal Mail's developer portal; without them the public tracking page is offered.
(function() {
var KEY = 'www.royalmail.com';
var API = 'https://api.royalmail.net/mailpieces/v2/';

// Event codes that mean the piece reached its recipient, whatever the summary says.
var DELIVERED_CODES = ['EVKSP', 'EVKOP', 'EVKSF', 'EVKLS', 'EVKGS'];
// Attempted deliveries and returns: the piece still moves, but the user has to act.
var EXCEPTION_CODES = ['EVKNA', 'EVKNR', 'EVKRT', 'EVKRF', 'EVORI'];

function rmWebURL(number) {
  return 'https://www.royalmail.com/track-your-item#/tracking-results/' +
      encodeURIComponent(number);
}

function rmLinks(task) { return task.pageLinks(rmWebURL); }

function rmOpenWebPage(task) { task.offerWebPage(rmWebURL); }

var rmItem = Q.trackingItem;

var rmInterval = Q.itemsInterval;

function rmState(summary, latest) {
  var category = Q.string(summary.statusCategory).toUpperCase();
  var code = summary.lastEventCode || latest.eventCode || '';
  if (category === 'DELIVERED' || DELIVERED_CODES.indexOf(code) >= 0) return 'delivered';
  if (EXCEPTION_CODES.indexOf(code) >= 0 || /RETURN|EXCEPTION|ATTEMPT/.test(category))
    return 'exception';
  return 'transit';
}

function rmPiece(task, piece) {
  var summary = piece.summary || {};
  var events = Q.array(piece.events).slice();
  // The history reads newest first, whatever order the interface used.
  events.sort(function(
      a, b) { return (Date.parse(b.eventDateTime) || 0) - (Date.parse(a.eventDateTime) || 0); });
  var latest = events[0] || {};
  return rmItem(task.itemName, {
    state: rmState(summary, latest),
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
function rmProblem(task, response) { task.failForResponse(response, rmLinks(task)); }

function rmAnswer(task, response) {
  if (response.offline) return rmProblem(task, response);
  var body = Q.json(response.text);
  var piece = Q.get(body, 'mailPieces');
  if (response.status === 200 && piece && typeof piece === 'object') {
    var item = rmPiece(task, piece);
    return task.finish(
        Q.results(2, Object.assign(rmLinks(task), {items: [item], interval: rmInterval([item])})));
  }
  // E1142 and friends: the barcode is unknown or has no events yet.
  if (response.status === 404 || (response.status === 400 && Q.array(Q.get(body, 'errors')).length))
    return task.notFound(undefined, rmLinks(task));
  rmProblem(task, response);
}

registerService(KEY, {
  webURL: function(task) { return rmWebURL(task.number); },
  track: function(task) {
    var clientID = task.credential('clientID');
    var secret = task.credential('clientSecret');
    if (!clientID || !secret) return rmOpenWebPage(task);
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
        function(response) { rmAnswer(task, response); });
  }
});
})();
