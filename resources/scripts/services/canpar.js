// Canpar Express: the barcode lookup that canpar.com's own tracking page calls. It needs no
// account; the CanShip web service with a user and password answers the same fields, but only
// to shippers, so it is not offered.
//
// Sources (read 2026-12-08): public tracking projects that call this endpoint and describe
// its answer (result[].barcode, delivered, events[].code, code_description_en,
// local_date_time "yyyyMMdd HHmmss", address.city/province, estimated_delivery_date).
var KEY = 'www.canpar.com';
var API = 'https://canship.canpar.com/api/CanparAddons/trackByBarcodeV2';
var PAGE = 'https://www.canpar.com/en/tracking/track.htm?barcode=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// "20231016 171238" as Canpar writes its local scan times.
function scanTime(value) {
  var match = /^(\d{8})\s+(\d{6})$/.exec(Q.trim(value));
  return match ? Q.isoDateTime(match[1], match[2]) : Q.isoDateTime(value);
}

function scanEvent(scan) {
  var address = scan.address && typeof scan.address === 'object' ? scan.address : {};
  return Q.event(
      scanTime(scan.local_date_time), scan.code_description_en || scan.description,
      Q.join(Q.capitalize(address.city), address.province));
}

// The answer lists parcels under "result", or under "result.packages" in newer answers.
function packagesOf(body) {
  var result = Q.get(body, 'result');
  if (result && !Array.isArray(result) && typeof result === 'object') result = result.packages;
  return Q.array(result).filter(function(entry) { return entry && typeof entry === 'object'; });
}

// The parcel the number names; a single parcel of another barcode is still that number's.
function matching(parcels, number) {
  for (var i = 0; i < parcels.length; i++) {
    if (Q.trim(parcels[i].barcode).toUpperCase() === number) return parcels[i];
  }
  return parcels[0];
}

function parcelItem(task, parcel) {
  var events = Q.array(parcel.events)
                   .filter(function(scan) { return scan && typeof scan === 'object'; })
                   .map(scanEvent);
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var delivered = parcel.delivered === true || parcel.delivered === 'true';
  return Q.trackingItem(task.itemName, {
    state: delivered ? 'delivered' : 'transit',
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    expected: delivered ? undefined : Q.isoDay(parcel.estimated_delivery_date),
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    // An unknown barcode comes back as an error text or as a parcel without scans.
    if (body.error && /no shipment|not found/i.test(Q.string(body.error)))
      return task.notFound(undefined, links(task));
    var parcels = packagesOf(body);
    if (body.error && !parcels.length) return task.fail(S.unreadable, links(task));
    var parcel = matching(parcels, task.number);
    if (!parcel || !Q.array(parcel.events).length) return task.notFound(undefined, links(task));
    var item = parcelItem(task, parcel);
    return task.found([item], links(task));
  }
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API, JSON.stringify({barcode: task.number, track_shipment: false}),
        {postType: 'application/json', cache: false, headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
