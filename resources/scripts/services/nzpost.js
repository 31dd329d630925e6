// NZ Post: the parcel track service that nzpost.co.nz's own tracking tool reads. No account is
// needed.
//
// Sources (read 2026-12-08): a public Home Assistant integration and its test payloads that
// call this endpoint and describe its answer: status_code 2 or a result with "errors" for an
// unknown (or not yet scanned) number; otherwise results[0] with tracking_reference and
// tracking_events[] holding status ("Delivered", "With courier for delivery", "Shipment data
// submitted", ...), date_time (ISO with the New Zealand offset), description (may carry HTML)
// and edifact_code (22 delivered, 32 out for delivery, 997 announced).
var KEY = 'www.nzpost.co.nz';
var API = 'https://tools.nzpost.co.nz/tracking/api/parceltrack/parcels?tracking_reference=';
var PAGE = 'https://www.nzpost.co.nz/tools/tracking?trackid=';

var DELIVERED = {status: ['Delivered'], code: ['22']};
var ANNOUNCED = {
  status: ['Shipment data submitted', 'Tracking number allocated to parcel'],
  code: ['997']
};

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

function is(kind, scan) {
  return kind.status.indexOf(scan.status) >= 0 || kind.code.indexOf(scan.code) >= 0;
}

function scanOf(event) {
  return {
    // The time is the one written at the scan's place; its offset is dropped.
    date: Q.isoDateTime(event.date_time),
    status: Q.trim(event.status),
    code: Q.trim(event.edifact_code),
    text: Q.trim(event.status) || Q.text(event.description)
  };
}

function parcelItem(task, parcel) {
  var scans = Q.array(parcel.tracking_events)
                  .filter(function(event) { return event && typeof event === 'object'; })
                  .map(scanOf);
  scans.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var newest = scans[0] || {};
  var events = scans.map(function(scan) { return Q.event(scan.date, scan.text); });
  return Q.trackingItem(task.itemName, {
    state: is(DELIVERED, newest) ? 'delivered' : is(ANNOUNCED, newest) ? 'pending' : 'transit',
    status: newest.text,
    statusDate: newest.date,
    firstDate: (scans[scans.length - 1] || {}).date,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    var results = Q.array(body.results)
                      .filter(function(entry) { return entry && typeof entry === 'object'; });
    if (Number(body.status_code) === 2 || (results[0] && Q.array(results[0].errors).length))
      return task.notFound(undefined, links(task));
    if (!Array.isArray(body.results)) return task.fail(S.unreadable, links(task));
    if (!results.length || !Q.array(results[0].tracking_events).length)
      return task.notFound(undefined, links(task));
    return task.found([parcelItem(task, results[0])], links(task));
  }
  task.failForResponse(response, links(task));
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
