// Posten Norge / Bring: the tracking service that Posten's and Bring's own tracking pages
// read. Bring publishes it as its Tracking API; without an account it answers the same
// public information as the website, at a lower rate limit.
//
// Sources, read 2026-12-08: Bring's Tracking API documentation (developer.bring.com/api/
// tracking), the PHP client "php-bring-api", "BringSharp", and public tracking scripts that
// call sporing.posten.no / sporing.bring.no "tracking/api/fetch" with "query" and "lang":
// the answer's "consignmentSet" (an "error" with its "code" for an unknown number) with
// "packageSet" → "eventSet" (description, status, dateIso, displayDate, displayTime, city,
// countryCode) and "dateOfEstimatedDelivery", and "errorCode" "2404" for a query nobody knows.

var KEY = 'www.posten.no';
var API = 'https://sporing.posten.no/tracking/api/fetch?lang=en&query=';
var PAGE = 'https://sporing.posten.no/sporing/';

// eventSet status values by what they mean for the recipient.
var DELIVERED = ['DELIVERED'];
var EXCEPTIONS = ['RETURN', 'DELIVERED_SENDER', 'DEVIATION', 'ATTEMPTED_DELIVERY'];
var OUT = ['TRANSPORT_TO_RECIPIENT'];
var ANNOUNCED = ['PRE_NOTIFIED'];

function state(status) {
  if (DELIVERED.indexOf(status) >= 0) return 'delivered';
  if (EXCEPTIONS.indexOf(status) >= 0) return 'exception';
  if (OUT.indexOf(status) >= 0) return 'out';
  if (ANNOUNCED.indexOf(status) >= 0) return 'pending';
  return 'transit';
}

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

// Newest first by the instant a time stamp names: its offset counts, so the hour repeated when
// summer time ends cannot put a later scan below an earlier one. Time stamps that do not read
// go last, in the carrier's order.
function newestFirst(rows, stamp) {
  var instant = function(row) {
    var time = Date.parse(Q.trim(stamp(row)));
    return isFinite(time) ? time : -Infinity;
  };
  var indexed =
      rows.map(function(row, index) { return {row: row, index: index, time: instant(row)}; });
  indexed.sort(function(
      a, b) { return b.time > a.time ? 1 : (b.time < a.time ? -1 : a.index - b.index); });
  return indexed.map(function(entry) { return entry.row; });
}

function eventDate(event) {
  return Q.isoDateTime(event.dateIso) || Q.isoDateTime(event.displayDate, event.displayTime);
}

function piece(task, pack, several) {
  var rows =
      Q.array(pack.eventSet).filter(function(row) { return row && typeof row === 'object'; });
  rows = newestFirst(rows, function(row) { return row.dateIso || eventDate(row); });
  var events = rows.map(function(row) {
    return Q.event(
        eventDate(row), Q.text(row.description), Q.join(Q.capitalize(row.city), row.countryCode));
  });
  var latest = events[0] || {};
  var current = state(Q.string((rows[0] || {}).status).toUpperCase());
  return Q.trackingItem(task.itemName, {
    state: current,
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    expected: current === 'delivered' ? undefined : Q.isoDay(pack.dateOfEstimatedDelivery),
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status === 404) return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    if (Q.string(body.errorCode) === '2404') return task.notFound(undefined, links(task));
    var consignments = Q.array(body.consignmentSet);
    var packs = [];
    consignments.forEach(function(consignment) {
      if (!consignment || typeof consignment !== 'object' || consignment.error) return;
      Q.array(consignment.packageSet).forEach(function(pack) {
        if (pack && typeof pack === 'object' && Q.array(pack.eventSet).length) packs.push(pack);
      });
    });
    if (packs.length) {
      var items = packs.map(function(pack) { return piece(task, pack, packs.length > 1); });
      return task.found(items, links(task));
    }
    // Consignments that carry only an error, or no events yet: nobody has seen the number.
    if (Array.isArray(body.consignmentSet)) return task.notFound(undefined, links(task));
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
