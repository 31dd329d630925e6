// DHL Express and the other DHL divisions: first the unified tracking data that DHL's own
// tracking page (www.dhl.com/…/tracking.html) loads from /utapi, which needs no key and
// resolves a number across divisions; when that does not answer usably and the user has
// configured an API key ("DHL-API-Key"), the Shipment Tracking - Unified API, whose answers
// have the same shape.
//
// Sources: DHL's developer documentation of Shipment Tracking - Unified (developer.dhl.com,
// OpenAPI description 1.x); public projects that read the tracking page's /utapi answers
// (trackingNumber, language, requesterCountryCode, source=tt) and find the same "shipments"
// list there. Checked 2026-12-08.

// What may change when DHL changes its site.
var KEY = 'www.dhl.com';
var PUBLIC_API = 'https://www.dhl.com/utapi';
var REQUESTER_COUNTRY = 'DE';
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

// The shipment list of either source: finishes the task and answers true when it says
// something about the number.
function trackingAnswer(task, response, links) {
  var data = Q.json(response.text);
  // An unknown number: 404 with a problem description.
  if (response.status === 404 && data && typeof data === 'object') {
    task.notFound(undefined, links);
    return true;
  }
  if (response.status !== 200 || !data || typeof data !== 'object') return false;
  var shipment = Q.get(data, 'shipments', 0);
  if (!shipment) {
    task.notFound(undefined, links);
    return true;
  }
  finishWithShipment(task, shipment, links);
  return true;
}

function finishWithShipment(task, shipment, links) {
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

function apiTrack(task, key, links) {
  var url = endpoint + '?' + Q.query({trackingNumber: task.number, language: 'en'});
  var options = {cache: false, headers: {'DHL-API-Key': key, Accept: 'application/json'}};
  task.progress(S.fetchingDetails);
  task.request(url, undefined, options, function(response) {
    if (!trackingAnswer(task, response, links)) task.failForResponse(response, links);
  });
}

registerService(KEY, {
  access: 'keyless',
  credentials: ['apiKey'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var links = task.pageLinks(pageURL);
    var url = PUBLIC_API + '?' + Q.query({
      trackingNumber: task.number,
      language: 'en',
      requesterCountryCode: REQUESTER_COUNTRY,
      source: 'tt'
    });
    var options = {cache: false, referer: pageURL(task.number), headers: {Accept: 'application/json'}};
    task.request(url, undefined, options, function(response) {
      if (trackingAnswer(task, response, links)) return;
      if (response.offline) return task.failForResponse(response, links);
      var key = task.credential('apiKey');
      if (key) return apiTrack(task, key, links);
      task.failForResponse(response, links);
    });
  },
});
