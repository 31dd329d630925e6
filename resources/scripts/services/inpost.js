// InPost: the tracking service that InPost's own "find parcel" page reads. It answers JSON
// without an account, provided the request says it comes from the page's script.
//
// Sources, read 2026-12-08: the public parcel-tracking project "parcel-tracker"
// (InPostDeliveryService, Android, reverse-engineered from inpost.pl/en/find-parcel), which
// describes the shipx-proxy address and its parameters, the answer (a list of parcels with
// "mainTrackingNumber" and "events": eventCode, timestamp, eventTitle, eventDescription,
// location), and InPost's published list of tracking event codes
// (developers.inpost-group.com/tracking-events).

var KEY = 'inpost.pl';
var API = 'https://inpost.pl/shipx-proxy/?new_api=true&language=en_EN&number=';
var PAGE = 'https://inpost.pl/sledzenie-przesylek?number=';

// Event codes by what they mean for the recipient: CRE announced by the sender, FMD first
// mile, MMD middle mile, LMD last mile, FUL courier delivery, RTS return to sender, EOL end
// of the parcel's life.
var DELIVERED = ['LMD.1002', 'EOL.1001', 'EOL.1003', 'EOL.1004', 'EOL.1005'];
var OUT = ['FUL.1003'];

function state(code) {
  if (DELIVERED.indexOf(code) >= 0) return 'delivered';
  if (/^RTS\./.test(code)) return 'exception';
  if (OUT.indexOf(code) >= 0) return 'out';
  if (/^CRE\./.test(code)) return 'pending';
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
  var rows = Q.array(entry.events).filter(function(row) { return row && typeof row === 'object'; });
  rows = newestFirst(rows, function(row) { return row.timestamp; });
  var events = rows.map(function(row) {
    return Q.event(
        Q.isoDateTime(row.timestamp), row.eventDescription || row.eventTitle, row.location);
  });
  var latest = events[0] || {};
  return Q.trackingItem(task.itemName, {
    state: state(Q.string((rows[0] || {}).eventCode)),
    status: Q.trim((rows[0] || {}).eventTitle) || latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status === 404) return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && Array.isArray(body)) {
    var parcels = body.filter(function(
        entry) { return entry && typeof entry === 'object' && Q.array(entry.events).length; });
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
          referer: PAGE + encodeURIComponent(task.number),
          headers: {'Accept': 'application/json', 'X-Requested-With': 'XMLHttpRequest'}
        },
        function(response) { answer(task, response); });
  }
});
