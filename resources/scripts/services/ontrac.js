// OnTrac, and LaserShip, now part of the same network: the package service that OnTrac's own
// tracking page reads. No account is needed.
//
// Sources (read 2026-12-08): a public Home Assistant integration and its test payloads that
// call this endpoint and describe its answer: Packages[] with Tracking, ExpectedDeliveryDate
// ("yyyy-MM-dd"), UtcDeliveryDateTime, and Events[] with UtcEventDateTime (ISO with offset),
// EventCode (EXRL/INRL data received, ORIG, ARRD, SFCT, LOAD, OFDL out for delivery, DLVD
// delivered, BCLD and NDMI problems), EventShortDescription, City, State; an unknown number
// answers 404 with a problem document (Title "Not Found", Status 404).
var KEYS = ['www.ontrac.com', 'www.lasership.com'];
var API = 'https://webtrack.ontrac.com/PackageServices/tracking/';
var PAGE = 'https://www.ontrac.com/tracking/?number=';

var DELIVERED_CODES = ['DLVD'];
var ANNOUNCED_CODES = ['EXRL', 'INRL'];
var PROBLEM_CODES = ['BCLD', 'NDMI'];

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// The times are absolute ("2026-03-19T17:08:26+00:00"): shown in the user's own time.
function absoluteTime(value) {
  var text = Q.trim(value);
  var date = /^\d{4}-\d\d-\d\dT\d\d:\d\d(:\d\d(\.\d+)?)?(Z|[+-]\d\d:?\d\d)$/.test(text) ?
      new Date(text) :
      undefined;
  return date && !isNaN(date.getTime()) ? Q.isoDateTime(date) : Q.isoDateTime(text);
}

function scanEvent(event) {
  var scan = Q.event(
      absoluteTime(event.UtcEventDateTime), event.EventShortDescription || event.Status,
      Q.join(Q.capitalize(event.City), event.State));
  scan.code = Q.trim(event.EventCode).toUpperCase();
  return scan;
}

function packageItem(task, parcel) {
  var scans = Q.array(parcel.Events)
                  .filter(function(event) { return event && typeof event === 'object'; })
                  .map(scanEvent);
  scans.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var code = (scans[0] || {}).code || '';
  var events = scans.map(function(scan) { return Q.event(scan.date, scan.text, scan.location); });
  var latest = events[0] || {};
  var delivered = DELIVERED_CODES.indexOf(code) >= 0;
  return Q.trackingItem(task.itemName, {
    state: delivered                       ? 'delivered' :
        PROBLEM_CODES.indexOf(code) >= 0   ? 'exception' :
        ANNOUNCED_CODES.indexOf(code) >= 0 ? 'pending' :
                                             'transit',
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: delivered ? absoluteTime(parcel.UtcDeliveryDateTime) : undefined,
    expected: delivered ? undefined : Q.isoDay(parcel.ExpectedDeliveryDate),
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    var parcels = Q.array(body.Packages)
                      .filter(function(entry) { return entry && typeof entry === 'object'; });
    if (!parcels.length || !Q.array(parcels[0].Events).length)
      return task.notFound(undefined, links(task));
    return task.found([packageItem(task, parcels[0])], links(task));
  }
  // An unknown number is a 404 with a problem document; a bare 404 is a broken address.
  if (response.status === 404 && body &&
      (Q.get(body, 'Title') === 'Not Found' || Q.get(body, 'Status') === 404))
    return task.notFound(undefined, links(task));
  task.failForResponse(response, links(task));
}

var service = {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API + encodeURIComponent(task.number), undefined,
        {cache: false, headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
};

KEYS.forEach(function(key) { registerService(key, service); });
