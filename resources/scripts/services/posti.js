// Posti: the shipment service behind the tracking page of posti.fi. It answers JSON without
// an account.
//
// Sources, read 2026-12-08: public tracking tools that read
// www.posti.fi/henkiloasiakkaat/seuranta/api/shipments/<code> (the Android app "Paketin
// seuranta", IRC bots, PHP and Python scripts, a Node client with Posti's phase texts),
// which describe the answer's "shipments" (empty for an unknown code) with "trackingCode",
// "phase" (WAITING, RECEIVED, IN_TRANSPORT, READY_FOR_PICKUP, DELIVERED, RETURNED_TO_SENDER),
// "estimatedDeliveryTime" and "events" newest first (timestamp in UTC, description per
// language, locationName).

var KEY = 'www.posti.fi';
var API = 'https://www.posti.fi/henkiloasiakkaat/seuranta/api/shipments/';
var PAGE = 'https://www.posti.fi/fi/seuranta#/lahetys/';
var LANGUAGE = 'en';

var PHASES = {
  WAITING: 'pending',
  RECEIVED: 'transit',
  IN_TRANSPORT: 'transit',
  READY_FOR_PICKUP: 'transit',
  DELIVERED: 'delivered',
  RETURNED_TO_SENDER: 'exception'
};

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

// The last Sunday of a month (UTC day number), where Europe changes between winter and
// summer time at 01:00 UTC.
function lastSunday(year, month) {
  var last = new Date(Date.UTC(year, month + 1, 0));
  return last.getUTCDate() - last.getUTCDay();
}

// A UTC time stamp as the wall-clock time in Finland, whatever the machine's zone. A time
// stamp without a zone is taken as written.
function finnishTime(value) {
  var text = Q.trim(value);
  if (!/(Z|[+-]\d\d:?\d\d)$/i.test(text)) return Q.isoDateTime(text);
  var ms = Date.parse(text);
  if (!isFinite(ms)) return undefined;
  var year = new Date(ms).getUTCFullYear();
  var summer = ms >= Date.UTC(year, 2, lastSunday(year, 2), 1) &&
      ms < Date.UTC(year, 9, lastSunday(year, 9), 1);
  var local = new Date(ms + (summer ? 3 : 2) * 3600000);
  return Q.pad(local.getUTCFullYear(), 4) + '-' + Q.pad(local.getUTCMonth() + 1) + '-' +
      Q.pad(local.getUTCDate()) + 'T' + Q.pad(local.getUTCHours()) + ':' +
      Q.pad(local.getUTCMinutes()) + ':' + Q.pad(local.getUTCSeconds());
}

function description(event) {
  var text = event.description;
  if (text && typeof text === 'object') return text[LANGUAGE] || text.fi;
  return text;
}

function shipment(task, entry, several) {
  var rows =
      Q.array(entry.events).filter(function(event) { return event && typeof event === 'object'; });
  // Ordered by the instant, not by the wall clock: the hour that repeats when summer time
  // ends would otherwise put a later scan below an earlier one.
  var instant = function(event) { return Date.parse(Q.trim(event.timestamp)) || 0; };
  rows.sort(function(a, b) { return instant(b) - instant(a); });
  var events = rows.map(function(event) {
    return Q.event(
        finnishTime(event.timestamp), description(event), Q.capitalize(event.locationName));
  });
  var latest = events[0] || {};
  var current = PHASES[Q.string(entry.phase).toUpperCase()] || 'transit';
  return Q.trackingItem(task.pieceName(Q.trim(entry.trackingCode), several), {
    state: current,
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    expected: current === 'delivered' ? undefined :
                                        Q.isoDay(finnishTime(entry.estimatedDeliveryTime)),
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status === 404) return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' &&
      Array.isArray(body.shipments)) {
    var shipments = body.shipments.filter(function(
        entry) { return entry && typeof entry === 'object' && Q.array(entry.events).length; });
    if (!shipments.length) return task.notFound(undefined, links(task));
    return task.found(
        shipments.map(function(entry) { return shipment(task, entry, shipments.length > 1); }),
        links(task));
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
