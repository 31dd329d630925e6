// Evri (formerly Hermes UK): the tracking service that Evri's own tracking page reads. The
// page first turns the printed number into the parcel's unique id, then asks for that
// parcel's events. Both calls carry the key the public page itself sends to every visitor;
// the user needs no account.
//
// Sources, read 2026-12-08: the public parcel-tracking projects "parcel-tracker"
// (EvriDeliveryService, Android) and "php-hermes-tracking", and a Home Assistant Evri
// integration, which describe the enterprise-tracking-api addresses, the "parcelIdentifiers"
// answer with its "urn", and the "results" list with "trackingEvents" (dateTime,
// trackingPoint.description, trackingStage.trackingStageCode).

var KEY = 'www.evri.com';
var API = 'https://api.hermesworld.co.uk/enterprise-tracking-api/v1/';
var REFERENCE = API + 'parcels/reference/';
var PARCELS = API + 'parcels?uniqueIds=';
// The keys Evri's tracking page sends with each of the two calls.
var REFERENCE_KEY = '0DExZiK9in2ihGce7cDPrnpQ4s4nIpWG';
var PARCELS_KEY = 'Vi8HZURvXHANfpiFDGta6bJclafLJcAY';
var PAGE = 'https://www.evri.com/track/parcel/';

// Stage codes: 1 announced, 2 at a depot, 3 on its way, 4 with the courier for delivery,
// 5 delivered (the suffix names who delivers: courier or parcel shop).
function state(code) {
  var text = Q.string(code);
  return /^5/.test(text) ? 'delivered' :
      /^4/.test(text)    ? 'out' :
      text === '1'       ? 'pending' :
                           'transit';
}

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

function newestFirst(events) {
  return events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
}

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function parcel(task, entry) {
  var raw = Q.array(entry.trackingEvents)
                .filter(function(event) { return event && typeof event === 'object'; });
  var events = newestFirst(raw.map(function(event) {
    return Q.event(Q.isoDateTime(event.dateTime), Q.get(event, 'trackingPoint', 'description'));
  }));
  // The stage of the newest event is the parcel's.
  var newest = raw.slice().sort(function(a, b) {
    var left = Q.string(a.dateTime), right = Q.string(b.dateTime);
    return right < left ? -1 : (right > left ? 1 : 0);
  })[0] ||
      {};
  var latest = events[0] || {};
  return Q.trackingItem(task.itemName, {
    state: state(Q.get(newest, 'trackingStage', 'trackingStageCode')),
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    history: events
  });
}

function parcelsAnswer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    var found = Q.array(body.results).filter(function(entry) {
      return entry && typeof entry === 'object' && Q.array(entry.trackingEvents).length;
    });
    if (!found.length) return task.notFound(undefined, links(task));
    var item = parcel(task, found[0]);
    return task.found([item], links(task));
  }
  if (response.status === 404) return task.notFound(undefined, links(task));
  problem(task, response);
}

function referenceAnswer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status === 404) return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    var urn = Q.trim(Q.get(body, 'parcelIdentifiers', 0, 'urn'));
    if (!urn) return task.notFound(undefined, links(task));
    task.progress(S.fetchingDetails);
    return task.request(
        PARCELS + encodeURIComponent(urn), undefined,
        {cache: false, headers: {'Accept': 'application/json', 'apiKey': PARCELS_KEY}},
        function(next) { parcelsAnswer(task, next); });
  }
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        REFERENCE + encodeURIComponent(task.number), undefined,
        {cache: false, headers: {'Accept': 'application/json', 'apiKey': REFERENCE_KEY}},
        function(response) { referenceAnswer(task, response); });
  }
});
