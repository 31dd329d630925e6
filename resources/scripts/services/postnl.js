// PostNL: the Shipment Status API (v2, by barcode with details). It needs an API key from
// PostNL's developer portal; without one the public tracking page is offered.
(function() {
var KEY = 'www.postnl.nl';
var API = 'https://api.postnl.nl/shipment/v2/status/barcode/';

// Phase 4 "Afgeleverd" and status 11 "Zending afgeleverd" both mean delivered; some answers
// carry only one of them.
var DELIVERED_PHASE = '4';
var DELIVERED_STATUS = '11';
// Status 1 "Zending voorgemeld": the sender announced the parcel, PostNL has not seen it.
var ANNOUNCED_STATUS = '1';
// Not delivered: refused, returned to sender, not collected.
var EXCEPTION_STATUSES = ['8', '12', '13', '14', '15', '16', '17', '18', '19', '99'];

function pnWebURL(number) {
  return 'https://postnl.post/details?barcode=' + encodeURIComponent(number);
}

function pnLinks(task) { return task.pageLinks(pnWebURL); }

function pnOpenWebPage(task) { task.offerWebPage(pnWebURL); }

var pnItem = Q.trackingItem;

var pnInterval = Q.itemsInterval;

// Time stamps come day first ("07-11-2022 19:10:28"); expectations as ISO date-times.
function pnDateTime(value) {
  var text = Q.trim(value);
  return /^\d\d-\d\d-\d{4}/.test(text) ?
      Q.isoDateTime(text.slice(0, 10), text.slice(11) || '0000') :
      Q.isoDateTime(text);
}

function pnShipment(task, shipment, several) {
  var status = shipment.Status || {};
  var events = Q.array(shipment.Event).map(function(event) {
    // Location codes are depot numbers, meaningless to the user.
    return Q.event(pnDateTime(event.TimeStamp), event.Description);
  });
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var code = Q.string(status.StatusCode);
  var delivered = Q.string(status.PhaseCode) === DELIVERED_PHASE || code === DELIVERED_STATUS;
  var statusDate = pnDateTime(status.TimeStamp) || latest.date;
  var barcode = Q.trim(shipment.Barcode);
  return pnItem(pnPieceName(task, barcode, several), {
    state: delivered                          ? 'delivered' :
        EXCEPTION_STATUSES.indexOf(code) >= 0 ? 'exception' :
        code === ANNOUNCED_STATUS             ? 'pending' :
                                                'transit',
    status: status.StatusDescription || latest.text,
    statusDate: statusDate,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: pnDateTime(shipment.DeliveryDate) || statusDate,
    expected: Q.isoDay(
        Q.get(shipment, 'Expectation', 'ETAFrom') || Q.get(shipment, 'Expectation', 'ETATo')),
    history: events
  });
}

// The name of one piece of several: the user's name with the piece's own number, or that
// number alone when the user gave no name.
function pnPieceName(task, id, several) { return task.pieceName(id, several); }

function pnProblem(task, response) { task.failForResponse(response, pnLinks(task)); }

function pnAnswer(task, response) {
  if (response.offline) return pnProblem(task, response);
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object') {
    var status = body.CompleteStatus || body.CurrentStatus || {};
    var shipments =
        Q.array(status.Shipment)
            .filter(function(shipment) { return shipment && typeof shipment === 'object'; });
    // No shipment, only "Warnings": the barcode is unknown.
    if (!shipments.length) return task.notFound(undefined, pnLinks(task));
    var items = shipments.map(function(
        shipment) { return pnShipment(task, shipment, shipments.length > 1); });
    return task.finish(
        Q.results(2, Object.assign(pnLinks(task), {items: items, interval: pnInterval(items)})));
  }
  // A barcode the service rejects comes back as 400 with "Errors".
  if (response.status === 404 || (response.status === 400 && Q.array(Q.get(body, 'Errors')).length))
    return task.notFound(undefined, pnLinks(task));
  pnProblem(task, response);
}

registerService(KEY, {
  webURL: function(task) { return pnWebURL(task.number); },
  track: function(task) {
    var key = task.credential('apiKey');
    if (!key) return pnOpenWebPage(task);
    task.request(
        API + encodeURIComponent(task.number) + '?detail=true&language=EN', undefined,
        {cache: false, headers: {'apikey': key, 'Accept': 'application/json'}},
        function(response) { pnAnswer(task, response); });
  }
});
})();
