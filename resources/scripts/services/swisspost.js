// Swiss Post: the public track-and-trace service of Swiss Post's logistics arm, which answers
// the event history of Swiss Post parcels as well as its own without an account. (The
// consumer page service.post.ch needs a session token from a response header, which the
// host does not hand to scripts; this service holds the same history.)
//
// Sources, read 2026-12-08: the Home Assistant integration "ha-swiss-post" (its constants
// name this service as the event timeline of Swiss Post parcels) and public Swiss delivery
// trackers, which describe the POST to eosapi.postlogistics.ch "api/trackandtrace/public"
// with {"Identifier": …} and a culture, the answer "Data" (null for an unknown identifier)
// with "Type" (1 a barcode, 2 a customer reference, 3 a Swiss Post parcel relayed with
// placeholder codes), and per shipment "Identifier", "History" (TimeStamp, Status,
// Description, City) and "DriveAndArrive" (PlannedDeliveryDate, EstimatedArrival); status
// codes DEL, DLV, POD and SIG are deliveries, NTF an announcement.

var KEY = 'www.post.ch';
var API = 'https://eosapi.postlogistics.ch/api/trackandtrace/public?culture=de-DE';
var PAGE = 'https://service.post.ch/ekp-web/ui/entry/search/';

var DELIVERED_CODES = ['DEL', 'DLV', 'POD', 'SIG'];
var ANNOUNCED_CODES = ['NTF'];
// Relayed Swiss Post scans carry no code of their own; their wording (in German, French,
// Italian or English) tells what happened.
var DELIVERED_TEXT = /\bzugestellt\b|\blivr[ée]e?\b|\brecapitat[oa]\b|\bdelivered\b/i;
var RETURNED_TEXT = /r[üu]cksendung|retourn[ée]|\bretour\b|returned to sender/i;

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

function comparable(value) { return Q.string(value).toUpperCase().replace(/[^A-Z0-9]/g, ''); }

function state(newest) {
  var code = Q.string(newest.Status).toUpperCase();
  var text = Q.string(newest.Description);
  if (RETURNED_TEXT.test(text)) return 'exception';
  if (DELIVERED_CODES.indexOf(code) >= 0 || DELIVERED_TEXT.test(text)) return 'delivered';
  if (ANNOUNCED_CODES.indexOf(code) >= 0) return 'pending';
  return 'transit';
}

function item(task, shipments) {
  var rows = [];
  shipments.forEach(function(shipment) {
    Q.array(shipment.History).forEach(function(row) {
      if (row && typeof row === 'object') rows.push(row);
    });
  });
  rows = newestFirst(rows, function(row) { return row.TimeStamp; });
  var events = rows.map(function(row) {
    return Q.event(Q.isoDateTime(row.TimeStamp), row.Description || row.Status, row.City);
  });
  var latest = events[0] || {};
  var current = state(rows[0] || {});
  var expected;
  shipments.forEach(function(shipment) {
    expected = expected || Q.isoDay(Q.get(shipment, 'DriveAndArrive', 'PlannedDeliveryDate')) ||
        Q.isoDay(Q.get(shipment, 'DriveAndArrive', 'EstimatedArrival'));
  });
  return Q.trackingItem(task.itemName, {
    state: current,
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    expected: current === 'delivered' ? undefined : expected,
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body) &&
      'Data' in body) {
    if (body.Data === null) return task.notFound(undefined, links(task));
    var type = Number(body.Type);
    var requested = comparable(task.number);
    var shipments = Q.array(body.Data).filter(function(shipment) {
      return shipment && typeof shipment === 'object' &&
          // A barcode's answer may hold neighbouring shipments; a reference's are all its own.
          (type === 2 || comparable(shipment.Identifier) === requested);
    });
    var withHistory =
        shipments.filter(function(shipment) { return Q.array(shipment.History).length; });
    if (!withHistory.length) return task.notFound(undefined, links(task));
    var result = item(task, withHistory);
    return task.found([result], links(task));
  }
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API, JSON.stringify({Identifier: task.number}), {
          cache: false,
          postType: 'application/json',
          referer: 'https://tracking.postlogistics.ch/',
          headers: {
            'Accept': 'application/json, text/plain, */*',
            'Origin': 'https://tracking.postlogistics.ch'
          }
        },
        function(response) { answer(task, response); });
  }
});
