// Purolator: the tracking data service that purolator.com's own tracker posts to. It needs no
// account; the x-api-key it asks for is the public key the tracker page itself sends with every
// visitor's request, not a key of the user's.
//
// Sources (read 2026-12-08): a public Home Assistant integration and its test payloads that
// call this endpoint and describe its answer: searchResult[0].status "FOUND" or "NOT FOUND"
// with shipmentIndex and packageIndex into shipment[].package[]; a package has status.code
// ("DEL" once delivered), estimatedDeliveryDate ("yyyy-MM-dd"), details.deliveryDetails.
// deliveryDateTime and events[] newest first with dateTime ("yyyy-MM-dd HH:mm:ss" at the scan's
// place), code (3010 label only, 4200 on vehicle, 9260 problem, 9000/9500 delivered),
// description and location.city/provinceState. Browsers pass its CDN; other clients get 403.
var KEY = 'www.purolator.com';
var API = 'https://public-tracking.purolator.com/tracking/data';
var PAGE = 'https://www.purolator.com/en/shipping/tracker?pin=';
var PAGE_KEY = 'NneqHVQEJO5CkHcsiPXqJ8cTAngvBR1D3Rcu3baQ';

var DELIVERED_STATUS = 'DEL';
var DELIVERED_CODES = ['9000', '9500'];
var LABEL_CODES = ['3010'];
var PROBLEM_CODES = ['9260'];

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

function pick(list, index) {
  var entries = Q.array(list);
  var at = typeof index === 'number' && index >= 0 && index < entries.length ? index : 0;
  return entries[at] && typeof entries[at] === 'object' ? entries[at] : undefined;
}

function scanEvent(event) {
  var place = event.location && typeof event.location === 'object' ? event.location : {};
  var scan = Q.event(
      Q.isoDateTime(event.dateTime), event.description,
      Q.join(Q.capitalize(place.city), place.provinceState));
  scan.code = Q.trim(event.code);
  return scan;
}

function packageItem(task, shipment, parcel) {
  var scans = Q.array(parcel.events)
                  .filter(function(event) { return event && typeof event === 'object'; })
                  .map(scanEvent);
  scans.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var code = (scans[0] || {}).code || '';
  var events = scans.map(function(scan) { return Q.event(scan.date, scan.text, scan.location); });
  var latest = events[0] || {};
  var delivered = Q.get(parcel, 'status', 'code') === DELIVERED_STATUS ||
      Q.get(shipment, 'status', 'code') === DELIVERED_STATUS || DELIVERED_CODES.indexOf(code) >= 0;
  return Q.trackingItem(task.itemName, {
    state: delivered                     ? 'delivered' :
        PROBLEM_CODES.indexOf(code) >= 0 ? 'exception' :
        LABEL_CODES.indexOf(code) >= 0   ? 'pending' :
                                           'transit',
    status: latest.text || Q.get(parcel, 'status', 'description'),
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: Q.isoDateTime(Q.get(parcel, 'details', 'deliveryDetails', 'deliveryDateTime')),
    expected: delivered ? undefined : Q.isoDay(parcel.estimatedDeliveryDate),
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var body = Q.json(response.text);
  var result = pick(Q.get(body, 'searchResult'), 0);
  if (response.status === 200 && result) {
    if (Q.trim(result.status).toUpperCase() === 'NOT FOUND')
      return task.notFound(undefined, links(task));
    var shipment = pick(body.shipment, result.shipmentIndex);
    var parcel = shipment && pick(shipment.package, result.packageIndex);
    if (Q.trim(result.status).toUpperCase() !== 'FOUND' || !parcel)
      return task.fail(S.unreadable, links(task));
    if (!Q.array(parcel.events).length) return task.notFound(undefined, links(task));
    return task.found([packageItem(task, shipment, parcel)], links(task));
  }
  if (response.status === 404 || response.status === 410)
    return task.notFound(undefined, links(task));
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    var body = {
      search: [{trackingId: task.number, sequenceId: 1, eventSortOrder: 'd'}],
      language: 'en'
    };
    task.request(
        API, JSON.stringify(body), {
          postType: 'application/json',
          cache: false,
          referer: 'https://www.purolator.com/',
          headers: {'Accept': 'application/json', 'x-api-key': PAGE_KEY}
        },
        function(response) { answer(task, response); });
  }
});
