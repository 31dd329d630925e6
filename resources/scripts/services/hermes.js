// Hermes Germany: the anonymous recipient service that the myhermes.de tracking page reads.
// It answers JSON without an account; the postcode-protected address service beside it is
// never asked.
//
// Sources, read 2026-12-08: public parcel-tracking projects that describe the v2 shipment
// search of api.my-deliveries.de (a TypeScript carrier adapter with its status table, a
// Python tracking tool, a Rust tracker): the "X-Language" header it needs, the answer as a
// list of parcels with "barcode", "parcelProgress" (timestamp, parcelStatus, historyText),
// "parcelAttributes.delivered" and "eta", and 404 for an unknown number.

var KEY = 'www.hlg.de';
var API = 'https://api.my-deliveries.de/tnt/v2/shipments/search/';
var PAGE = 'https://www.myhermes.de/empfangen/sendungsverfolgung/sendungsinformation#';
var LANGUAGE = 'de';

// parcelStatus codes by what they mean for the recipient. A return counts as an exception
// even when it has been "delivered" back to the sender.
var EXCEPTION = /^(RETURN|RETOURE|DELIVERY_FAILED|NOT_DELIVERABLE|UNKNOWN_WHEREABOUTS)/;
var DELIVERED = /^(DELIVERED|PICKED_UP_BY_RECIPIENT$|COLLECTED$)/;
var OUT = /^(DELIVERY_TOUR_STARTED|OUT_FOR_DELIVERY|NEXT_STOP)$/;
var ANNOUNCED =
    /^(ANNOUNCED|ORDER_INFO_RECEIVED|PREANNOUNCED|PARCELSHOP_DROP_OFF|ATG_OUT_OF_WAREHOUSE)$/;
// Bookings of the recipient's delivery wishes, made before Hermes has the parcel: they say
// nothing about where it is.
var IGNORED = ['EDL_BOOKED_DROPOFF'];

function state(code, deliveredFlag) {
  if (EXCEPTION.test(code)) return 'exception';
  if (DELIVERED.test(code) || deliveredFlag) return 'delivered';
  if (OUT.test(code)) return 'out';
  if (ANNOUNCED.test(code)) return 'pending';
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

function parcel(task, entry) {
  var rows = Q.array(entry.parcelProgress).filter(function(row) {
    return row && typeof row === 'object' && IGNORED.indexOf(Q.string(row.parcelStatus)) < 0;
  });
  rows = newestFirst(rows, function(row) { return row.timestamp; });
  var events = rows.map(function(
      row) { return Q.event(Q.isoDateTime(row.timestamp), row.historyText || row.parcelStatus); });
  var latest = events[0] || {};
  var current = state(
      Q.string((rows[0] || {}).parcelStatus),
      Q.get(entry, 'parcelAttributes', 'delivered') === true);
  return Q.trackingItem(task.itemName, {
    state: current,
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    expected: current === 'delivered' ? undefined : Q.isoDay(entry.eta),
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status === 404) return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && Array.isArray(body)) {
    var parcels = body.filter(function(entry) {
      return entry && typeof entry === 'object' && Q.array(entry.parcelProgress).length &&
          (!entry.barcode || Q.trim(entry.barcode).toUpperCase() === task.number);
    });
    if (!parcels.length) return task.notFound(undefined, links(task));
    var item = parcel(task, parcels[0]);
    return task.found([item], links(task));
  }
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API + encodeURIComponent(task.number), undefined, {
          cache: false,
          referer: 'https://www.myhermes.de/',
          headers: {'Accept': 'application/json', 'X-Language': LANGUAGE}
        },
        function(response) { answer(task, response); });
  }
});
