// DHL Express and the other DHL divisions: the unified Shipment Tracking API, which resolves a
// number across divisions. It needs the user's own API key ("DHL-API-Key"); without one the
// delivery points at the public tracking page.

var endpoint = 'https://api-eu.dhl.com/track/shipments';

function pageURL(number) {
  return (
      'https://www.dhl.com/global-en/home/tracking.html?' +
      Q.query({'tracking-id': number, submit: '1'}));
}

function place(status) {
  var address = Q.get(status, 'location', 'address') || {};
  // Written as DHL's systems spell it ("LEIPZIG - GERMANY"); capitalising would mangle
  // country codes inside the text.
  return Q.join(address.addressLocality, address.countryCode);
}

function event(status) {
  return Q.event(
      Q.isoDateTime(status.timestamp), Q.string(status.description) || Q.string(status.status),
      place(status));
}

var states = {
  'pre-transit': 'pending',
  transit: 'transit',
  delivered: 'delivered',
  failure: 'exception',
};

function answer(task, response) {
  var links = task.pageLinks(pageURL);
  if (response.status === 404) return task.notFound(undefined, links);
  var data = Q.json(response.text);
  if (response.status !== 200 || !data || typeof data !== 'object')
    return task.failForResponse(response, links);
  var shipment = Q.get(data, 'shipments', 0);
  if (!shipment) return task.notFound(undefined, links);
  var status = shipment.status || {};
  var state = states[Q.string(status.statusCode)] || 'transit';
  if (state === 'transit' &&
      /out for delivery|with delivery courier/i.test(Q.string(status.description)))
    state = 'out';
  var events = Q.newestFirst(Q.array(shipment.events).map(event));
  task.found([Q.trackingItem(task.itemName, {
    state: state,
    status: Q.string(status.status) || Q.string(status.description),
    statusDate: (events[0] || {}).date || Q.isoDateTime(status.timestamp),
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: Q.get(shipment, 'details', 'proofOfDelivery', 'timestamp'),
    expected: Q.isoDay(shipment.estimatedTimeOfDelivery) ||
        Q.isoDay(Q.get(shipment, 'estimatedDeliveryTimeFrame', 'estimatedThrough')),
    location: place(status) || (events[0] || {}).location,
    history: events,
  })], links);
}

registerService('www.dhl.com', {
  access: 'keys',
  credentials: ['apiKey'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var key = task.credential('apiKey');
    if (!key) return task.offerWebPage(pageURL);
    var url = endpoint + '?' + Q.query({trackingNumber: task.number, language: 'en'});
    var options = {cache: false, headers: {'DHL-API-Key': key, Accept: 'application/json'}};
    task.request(url, undefined, options, function(response) { answer(task, response); });
  },
});
