// PostNL: first the track-and-trace data that PostNL's own tracking page (jouw.postnl.nl)
// loads, by barcode, country and postal code, which needs no account; when that does not
// answer usably and the user has configured an API key, the Shipment Status API (v2, by
// barcode with details).
//
// Sources: PostNL's developer documentation of the Shipment Status webservice
// (developer.postnl.nl); public projects that read the tracking page's data from
// /track-and-trace/api/trackAndTrace/<barcode>-<country>-<postal code>: a "colli" object keyed
// by barcode with statusPhase.message, deliveryDate, eta or routeInformation, and
// analyticsInfo.allObservations (observationDate, description). Checked 2026-12-08.

// What may change when PostNL changes its site.
var KEY = 'www.postnl.nl';
var PUBLIC_API = 'https://jouw.postnl.nl/track-and-trace/api/trackAndTrace/';
var PUBLIC_COUNTRY = 'NL';
var API = 'https://api.postnl.nl/shipment/v2/status/barcode/';

// Phase 4 "Afgeleverd" and status 11 "Zending afgeleverd" both mean delivered; some answers
// carry only one of them.
var DELIVERED_PHASE = '4';
var DELIVERED_STATUS = '11';
// Status 1 "Zending voorgemeld": the sender announced the parcel, PostNL has not seen it.
var ANNOUNCED_STATUS = '1';
// Not delivered: refused, returned to sender, not collected.
var EXCEPTION_STATUSES = ['8', '12', '13', '14', '15', '16', '17', '18', '19', '99'];

function pageURL(number) {
  return 'https://postnl.post/details?barcode=' + encodeURIComponent(number);
}

// Time stamps come day first ("07-11-2022 19:10:28"); expectations as ISO date-times.
function dateTime(value) {
  var text = Q.trim(value);
  return /^\d\d-\d\d-\d{4}/.test(text) ?
      Q.isoDateTime(text.slice(0, 10), text.slice(11) || '0000') :
      Q.isoDateTime(text);
}

function apiItem(task, shipment, several) {
  var status = shipment.Status || {};
  var events = Q.array(shipment.Event).map(function(event) {
    // Location codes are depot numbers, meaningless to the user.
    return Q.event(dateTime(event.TimeStamp), event.Description);
  });
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var code = Q.string(status.StatusCode);
  var delivered = Q.string(status.PhaseCode) === DELIVERED_PHASE || code === DELIVERED_STATUS;
  var statusDate = dateTime(status.TimeStamp) || latest.date;
  var barcode = Q.trim(shipment.Barcode);
  return Q.trackingItem(task.pieceName(barcode, several), {
    state: delivered                          ? 'delivered' :
        EXCEPTION_STATUSES.indexOf(code) >= 0 ? 'exception' :
        code === ANNOUNCED_STATUS             ? 'pending' :
                                                'transit',
    status: status.StatusDescription || latest.text,
    statusDate: statusDate,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: dateTime(shipment.DeliveryDate) || statusDate,
    expected: Q.isoDay(
        Q.get(shipment, 'Expectation', 'ETAFrom') || Q.get(shipment, 'Expectation', 'ETATo')),
    history: events
  });
}

// The page's data: finishes the task and answers true when it says something about the number.
function publicAnswer(task, response, links) {
  var data = Q.json(response.text);
  if (response.status !== 200 || !data || typeof data !== 'object' || !('colli' in data))
    return false;
  var colli = data.colli && typeof data.colli === 'object' ? data.colli : {};
  var barcodes = Object.keys(colli).filter(function(key) {
    return colli[key] && typeof colli[key] === 'object';
  });
  // An unknown barcode (or one whose postal code does not match) has no collo.
  if (!barcodes.length) {
    task.notFound(undefined, links);
    return true;
  }
  var items = barcodes.map(function(barcode) {
    var collo = colli[barcode];
    var events = Q.newestFirst(Q.array(Q.get(collo, 'analyticsInfo', 'allObservations')).map(
        function(observation) {
          return Q.event(Q.isoDateTime(observation.observationDate), observation.description);
        }));
    var latest = events[0] || {};
    var expected = Q.get(collo, 'routeInformation', 'expectedDeliveryTime') ||
        Q.get(collo, 'eta', 'start');
    return Q.trackingItem(task.pieceName(Q.trim(collo.barcode) || barcode, barcodes.length > 1), {
      state: collo.deliveryDate ? 'delivered' : events.length > 1 ? 'transit' : 'pending',
      status: Q.get(collo, 'statusPhase', 'message') || latest.text,
      statusDate: latest.date,
      firstDate: (events[events.length - 1] || {}).date,
      deliveredDate: collo.deliveryDate,
      expected: Q.isoDay(expected),
      history: events
    });
  });
  task.found(items, links);
  return true;
}

function apiAnswer(task, response, links) {
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object') {
    var status = body.CompleteStatus || body.CurrentStatus || {};
    var shipments =
        Q.array(status.Shipment)
            .filter(function(shipment) { return shipment && typeof shipment === 'object'; });
    // No shipment, only "Warnings": the barcode is unknown.
    if (!shipments.length) return task.notFound(undefined, links);
    var items = shipments.map(function(
        shipment) { return apiItem(task, shipment, shipments.length > 1); });
    return task.found(items, links);
  }
  // A barcode the service rejects comes back as 400 with "Errors".
  if (response.status === 404 || (response.status === 400 && Q.array(Q.get(body, 'Errors')).length))
    return task.notFound(undefined, links);
  task.failForResponse(response, links);
}

// "1234 ab" → "1234AB"; undefined without a postal code.
function postalCode(task) {
  var code = task.extra.replace(/\s+/g, '').toUpperCase();
  return /^[0-9A-Z-]{3,10}$/.test(code) ? code : undefined;
}

function apiTrack(task, key, links) {
  task.progress(S.fetchingDetails);
  task.request(
      API + encodeURIComponent(task.number) + '?detail=true&language=EN', undefined,
      {cache: false, headers: {'apikey': key, 'Accept': 'application/json'}},
      function(response) { apiAnswer(task, response, links); });
}

registerService(KEY, {
  access: 'keyless',
  credentials: ['apiKey'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var links = task.pageLinks(pageURL);
    var code = postalCode(task);
    var path = encodeURIComponent(task.number) +
        (code ? '-' + PUBLIC_COUNTRY + '-' + encodeURIComponent(code) : '');
    task.request(
        PUBLIC_API + path + '?language=en', undefined,
        {cache: false, referer: pageURL(task.number), headers: {Accept: 'application/json'}},
        function(response) {
          if (publicAnswer(task, response, links)) return;
          if (response.offline) return task.failForResponse(response, links);
          var key = task.credential('apiKey');
          if (key) return apiTrack(task, key, links);
          task.failForResponse(response, links);
        });
  }
});
