// Austrian Post: the public GraphQL service that the post.at shipment page reads. It answers
// without an account; the query asks only for what the public page shows, never the sender
// or the address.
//
// Sources, read 2026-12-08: public tracking projects that post to api.post.at
// "sendungen/sv/graphqlPublic" (a Python shipment tracker, an Angular tracker, a Home
// Assistant integration, a TypeScript carrier adapter with its tests), which describe the
// "einzelsendung(sendungsnummer: …)" query, its answer (sendungsnummer, status,
// estimatedDelivery, sendungsEvents with timestamp, status, reasontypecode, text, textEn,
// eventpostalcode, eventcountry), "einzelsendung": null for an unknown number, and the
// status codes (ZU delivered, IZ out for delivery, RE returned; a scan IZ with reason ZA is
// the delivery itself).

var KEY = 'www.post.at';
var API = 'https://api.post.at/sendungen/sv/graphqlPublic';
var PAGE = 'https://www.post.at/s/sendungsdetails?snr=';
var FIELDS = 'sendungsnummer status estimatedDelivery { startDate endDate startTime endTime } ' +
    'sendungsEvents { timestamp status reasontypecode text textEn eventpostalcode eventcountry }';

var DELIVERED = 'ZU';
var OUT = 'IZ';
var RETURNED = 'RE';
var ANNOUNCED = 'AV';
// A scan "in delivery" whose reason says it was handed over.
var HANDED_OVER_REASON = 'ZA';

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

function state(summary, newest) {
  if (summary === RETURNED) return 'exception';
  if (summary === DELIVERED ||
      (Q.string(newest.status) === OUT && Q.string(newest.reasontypecode) === HANDED_OVER_REASON))
    return 'delivered';
  if (summary === OUT) return 'out';
  if (summary === ANNOUNCED) return 'pending';
  return 'transit';
}

function shipment(task, entry) {
  var rows = Q.array(entry.sendungsEvents)
                 .filter(function(row) { return row && typeof row === 'object'; });
  rows = newestFirst(rows, function(row) { return row.timestamp; });
  var events = rows.map(function(row) {
    return Q.event(
        Q.isoDateTime(row.timestamp), row.textEn || row.text,
        Q.join(row.eventpostalcode, row.eventcountry));
  });
  var latest = events[0] || {};
  var current = state(Q.string(entry.status).toUpperCase(), rows[0] || {});
  return Q.trackingItem(task.itemName, {
    state: current,
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    expected: current === 'delivered' || current === 'exception' ?
        undefined :
        Q.isoDay(Q.get(entry, 'estimatedDelivery', 'endDate')),
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body) &&
      body.data && typeof body.data === 'object' && 'einzelsendung' in body.data) {
    var entry = body.data.einzelsendung;
    // A query error also comes with an empty shipment: that is no answer about the number.
    if (!entry && Q.array(body.errors).length) return problem(task, response);
    if (!entry || typeof entry !== 'object' || !Q.array(entry.sendungsEvents).length)
      return task.notFound(undefined, links(task));
    var item = shipment(task, entry);
    return task.found([item], links(task));
  }
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    // The number goes into the query as a JSON string, so no character of it can end it.
    var query = 'query { einzelsendung(sendungsnummer: ' + JSON.stringify(task.number) + ') { ' +
        FIELDS + ' } }';
    task.request(
        API, JSON.stringify({query: query}),
        {cache: false, postType: 'application/json', headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
