// PostNord (Sweden and Denmark): the developer API "Track and Trace" (v5, by identifier).
// The key comes from the host, which answers "apiKey" for both of PostNord's sites; without
// one the public tracking page is offered.
(function() {
var KEYS = ['www.posten.se', 'www.postdanmark.dk'];
var API = 'https://api2.postnord.com/rest/shipment/v5/trackandtrace/findByIdentifier.json';

var EXCEPTION_STATUSES = ['RETURNED', 'STOPPED', 'DELAYED'];

function pdWebURL(number) {
  return 'https://tracking.postnord.com/?id=' + encodeURIComponent(number);
}

function pdLinks(task) { return task.pageLinks(pdWebURL); }

function pdOpenWebPage(task) { task.offerWebPage(pdWebURL); }

var pdItem = Q.trackingItem;

var pdInterval = Q.itemsInterval;

function pdLocation(location) {
  if (!location || typeof location !== 'object') return undefined;
  return Q.trim(location.displayName) || Q.join(location.city || location.name, location.country) ||
      undefined;
}

// One item (parcel) of the shipment; several are told apart by their item IDs.
function pdParcel(task, shipment, item, several) {
  var status = Q.string(item.status || shipment.status).toUpperCase();
  var events = Q.array(item.events || item.event).map(function(event) {
    return Q.event(
        Q.isoDateTime(event.eventTime), event.eventDescription, pdLocation(event.location));
  });
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var header = Q.get(item, 'statusText', 'header') || Q.get(shipment, 'statusText', 'header');
  var id = Q.trim(item.itemId);
  return pdItem(pdPieceName(task, id, several), {
    state: status === 'DELIVERED'               ? 'delivered' :
        EXCEPTION_STATUSES.indexOf(status) >= 0 ? 'exception' :
        status === 'INFORMED'                   ? 'pending' :
                                                  'transit',
    status: header || latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: item.deliveryDate || shipment.deliveryDate,
    expected: Q.isoDay(item.estimatedTimeOfArrival || shipment.estimatedTimeOfArrival),
    location: latest.location,
    history: events
  });
}

// The name of one piece of several: the user's name with the piece's own number, or that
// number alone when the user gave no name.
function pdPieceName(task, id, several) { return task.pieceName(id, several); }

function pdProblem(task, response) { task.failForResponse(response, pdLinks(task)); }

function pdIsObject(value) { return !!value && typeof value === 'object'; }

function pdAnswer(task, response) {
  if (response.offline) return pdProblem(task, response);
  var body = Q.json(response.text);
  var answer = Q.get(body, 'TrackingInformationResponse');
  if (response.status === 200 && answer && typeof answer === 'object') {
    var parcels = [];
    Q.array(answer.shipments).filter(pdIsObject).forEach(function(shipment) {
      var items = Q.array(shipment.items).filter(pdIsObject);
      // A shipment the sender only announced has no items yet; it still is the shipment.
      if (!items.length) items = [{}];
      items.forEach(function(item) { parcels.push({shipment: shipment, item: item}); });
    });
    if (!parcels.length) return task.notFound(undefined, pdLinks(task));
    var items = parcels.map(function(
        parcel) { return pdParcel(task, parcel.shipment, parcel.item, parcels.length > 1); });
    return task.finish(
        Q.results(2, Object.assign(pdLinks(task), {items: items, interval: pdInterval(items)})));
  }
  // Faults about the identifier come with 400 and a "compositeFault".
  if (response.status === 404 ||
      (response.status === 400 && Q.get(body, 'TrackingInformationResponse', 'compositeFault')))
    return task.notFound(undefined, pdLinks(task));
  pdProblem(task, response);
}

var module = {
  webURL: function(task) { return pdWebURL(task.number); },
  track: function(task) {
    var key = task.credential('apiKey');
    if (!key) return pdOpenWebPage(task);
    task.request(
        API + '?' + Q.query({apikey: key, id: task.number, locale: 'en'}), undefined,
        {cache: false}, function(response) { pdAnswer(task, response); });
  }
};
KEYS.forEach(function(key) { registerService(key, module); });
})();
