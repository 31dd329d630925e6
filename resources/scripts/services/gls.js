// GLS: the track-and-trace service that GLS's own parcel tracking page reads. It answers JSON
// without an account; like any page-backed service it may start refusing robots without
// notice, which then shows as a failed update.
//
// Sources, read 2026-12-08: the public parcel-tracking projects "parcel-tracker"
// (GLSDeliveryService, Android) and "shipment-tracker" (PHP, GLS tracker tests), which
// describe the rstt001 address, its "match" parameter and the answer's "tuStatus" list with
// "history" (date, time, evtDscr, address) and "progressBar.statusInfo".

var KEY = 'gls-group.com';
var API = 'https://gls-group.com/app/service/open/rest/DE/en/rstt001?match=';
var PAGE = 'https://gls-group.eu/DE/en/parcel-tracking?match=';

// progressBar.statusInfo values. DELIVEREDPS: left at a parcel shop for the recipient to
// collect, so not yet in the recipient's hands.
var DELIVERED = 'DELIVERED';
var ANNOUNCED = 'PREADVICE';
var EXCEPTIONS = ['NOTDELIVERED', 'RETURNED', 'DAMAGED'];

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

function newestFirst(events) {
  return events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
}

function place(address) {
  if (!address || typeof address !== 'object') return undefined;
  return Q.join(address.city, address.countryName || address.countryCode) || undefined;
}

function unit(task, unit) {
  var events = newestFirst(Q.array(unit.history).map(function(entry) {
    entry = entry || {};
    return Q.event(
        Q.isoDateTime(entry.date, entry.time), Q.text(entry.evtDscr), place(entry.address));
  }));
  var latest = events[0] || {};
  var status = Q.string(Q.get(unit, 'progressBar', 'statusInfo')).toUpperCase();
  var arrival = Q.isoDay(Q.get(unit, 'arrivalTime', 'value'));
  var state = status === DELIVERED    ? 'delivered' :
      status === ANNOUNCED            ? 'pending' :
      EXCEPTIONS.indexOf(status) >= 0 ? 'exception' :
                                        'transit';
  return Q.trackingItem(task.itemName, {
    state: state,
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: state === 'delivered' ? (arrival || latest.date) : undefined,
    expected: state === 'delivered' ? undefined : arrival,
    location: latest.location,
    history: events
  });
}

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function answer(task, response) {
  if (response.offline) return problem(task, response);
  // GLS answers an unknown number with an error status rather than an empty list.
  if (response.status === 404) return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    var units = Q.array(body.tuStatus).filter(function(entry) {
      return entry && typeof entry === 'object' && Q.array(entry.history).length;
    });
    if (!units.length) return task.notFound(undefined, links(task));
    var items = units.map(function(entry) { return unit(task, entry); });
    return task.found(items, links(task));
  }
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API + encodeURIComponent(task.number), undefined,
        {cache: false, headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
