// PostNord (Sweden and Denmark): the developer API "Track and Trace" (v5, by identifier).
// The key comes from the host, which answers "apiKey" for both of PostNord's sites (from this
// installation's tokens); without one the public tracking page is offered.
//
// Sources: PostNord's developer documentation of Track and Trace v5 (developer.postnord.com:
// findByIdentifier, TrackingInformationResponse, shipments, items, events). Checked 2026-12-08.

// What may change when PostNord changes its interface.
var KEYS = ['www.posten.se', 'www.postdanmark.dk'];
var API = 'https://api2.postnord.com/rest/shipment/v5/trackandtrace/findByIdentifier.json';

var EXCEPTION_STATUSES = ['RETURNED', 'STOPPED', 'DELAYED'];

function pageURL(number) {
  return 'https://tracking.postnord.com/?id=' + encodeURIComponent(number);
}

function pageLinks(task) { return task.pageLinks(pageURL); }

function offerPage(task) { task.offerWebPage(pageURL); }

function placeOf(location) {
  if (!location || typeof location !== 'object') return undefined;
  return Q.trim(location.displayName) || Q.join(location.city || location.name, location.country) ||
      undefined;
}

// One item (parcel) of the shipment; several are told apart by their item IDs.
function parcelItem(task, shipment, item, several) {
  var status = Q.string(item.status || shipment.status).toUpperCase();
  var events = Q.array(item.events || item.event).map(function(event) {
    return Q.event(
        Q.isoDateTime(event.eventTime), event.eventDescription, placeOf(event.location));
  });
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var header = Q.get(item, 'statusText', 'header') || Q.get(shipment, 'statusText', 'header');
  var id = Q.trim(item.itemId);
  return Q.trackingItem(pieceName(task, id, several), {
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
function pieceName(task, id, several) { return task.pieceName(id, several); }

function problem(task, response) { task.failForResponse(response, pageLinks(task)); }

function isObject(value) { return !!value && typeof value === 'object'; }

function trackingAnswer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  var answer = Q.get(body, 'TrackingInformationResponse');
  if (response.status === 200 && answer && typeof answer === 'object') {
    var parcels = [];
    Q.array(answer.shipments).filter(isObject).forEach(function(shipment) {
      var items = Q.array(shipment.items).filter(isObject);
      // A shipment the sender only announced has no items yet; it still is the shipment.
      if (!items.length) items = [{}];
      items.forEach(function(item) { parcels.push({shipment: shipment, item: item}); });
    });
    if (!parcels.length) return task.notFound(undefined, pageLinks(task));
    var items = parcels.map(function(
        parcel) { return parcelItem(task, parcel.shipment, parcel.item, parcels.length > 1); });
    return task.finish(
        Q.results(2, Object.assign(pageLinks(task), {items: items, interval: Q.itemsInterval(items)})));
  }
  // Faults about the identifier come with 400 and a "compositeFault".
  if (response.status === 404 ||
      (response.status === 400 && Q.get(body, 'TrackingInformationResponse', 'compositeFault')))
    return task.notFound(undefined, pageLinks(task));
  problem(task, response);
}

var module = {
  access: 'keys',
  credentials: ['apiKey'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var key = task.credential('apiKey');
    if (!key) return offerPage(task);
    task.request(
        API + '?' + Q.query({apikey: key, id: task.number, locale: 'en'}), undefined,
        {cache: false}, function(response) { trackingAnswer(task, response); });
  }
};
KEYS.forEach(function(key) { registerService(key, module); });
