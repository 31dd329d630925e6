// DHL Paket (Germany): DHL's unified Shipment Tracking API, asked for the German parcel
// service so that a number is not matched to another DHL division. It needs an API key from
// DHL's developer portal; without one the public tracking page is offered.
(function() {
var KEY = 'www.dhl.de';
var API = 'https://api-eu.dhl.com/track/shipments';

function dhWebURL(number) {
  return 'https://www.dhl.de/de/privatkunden/pakete-empfangen/verfolgen.html?piececode=' +
      encodeURIComponent(number);
}

function dhLinks(task) { return task.pageLinks(dhWebURL); }

function dhOpenWebPage(task) { task.offerWebPage(dhWebURL); }

var dhItem = Q.trackingItem;

var dhInterval = Q.itemsInterval;

function dhPlace(status) {
  return Q.trim(Q.get(status, 'location', 'address', 'addressLocality')) || undefined;
}

function dhShipment(task, shipment) {
  var status = shipment.status || {};
  var events = Q.array(shipment.events).map(function(event) {
    return Q.event(
        Q.isoDateTime(event.timestamp), event.description || event.status, dhPlace(event));
  });
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var code = Q.string(status.statusCode);
  return dhItem(task.itemName, {
    state: code === 'delivered' ? 'delivered' :
        code === 'failure'      ? 'exception' :
        code === 'pre-transit'  ? 'pending' :
                                  'transit',
    status: status.description || status.status,
    statusDate: Q.isoDateTime(status.timestamp) || (events[0] || {}).date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: Q.get(shipment, 'details', 'proofOfDelivery', 'timestamp'),
    expected: Q.isoDay(
        shipment.estimatedTimeOfDelivery ||
        Q.get(shipment, 'estimatedDeliveryTimeFrame', 'estimatedFrom')),
    location: dhPlace(status),
    history: events
  });
}

function dhProblem(task, response) { task.failForResponse(response, dhLinks(task)); }

function dhAnswer(task, response) {
  if (response.offline) return dhProblem(task, response);
  var body = Q.json(response.text);
  var shipments = Q.get(body, 'shipments');
  if (response.status === 200 && Array.isArray(shipments)) {
    if (!shipments.length) return task.notFound(undefined, dhLinks(task));
    // Several matches: the one with this very number, else the first.
    var shipment =
        shipments.filter(function(
            entry) { return Q.trim(Q.get(entry, 'id')).toUpperCase() === task.number; })[0] ||
        shipments[0];
    var item = dhShipment(task, shipment);
    return task.finish(
        Q.results(2, Object.assign(dhLinks(task), {items: [item], interval: dhInterval([item])})));
  }
  // "No result found" comes as a problem document with status 404.
  if (response.status === 404) return task.notFound(undefined, dhLinks(task));
  dhProblem(task, response);
}

registerService(KEY, {
  webURL: function(task) { return dhWebURL(task.number); },
  track: function(task) {
    var key = task.credential('apiKey');
    if (!key) return dhOpenWebPage(task);
    var query = Q.query({trackingNumber: task.number, service: 'parcel-de', language: 'en'});
    task.request(
        API + '?' + query, undefined,
        {cache: false, headers: {'DHL-API-Key': key, 'Accept': 'application/json'}},
        function(response) { dhAnswer(task, response); });
  }
});
})();
