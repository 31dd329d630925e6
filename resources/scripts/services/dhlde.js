// DHL Paket (Germany): first the unified tracking data that DHL's tracking page loads from
// www.dhl.com/utapi, which needs no key; when that does not answer usably and the user has
// configured an API key, DHL's Shipment Tracking - Unified API, asked for the German parcel
// service so that a number is not matched to another DHL division. Both answer the same
// "shipments" list.
//
// Sources: DHL's developer documentation of Shipment Tracking - Unified (developer.dhl.com);
// public projects that read the tracking page's /utapi answers (trackingNumber, language,
// requesterCountryCode, source=tt). Checked 2026-12-08.

// What may change when DHL changes its site.
var KEY = 'www.dhl.de';
var PUBLIC_API = 'https://www.dhl.com/utapi';
var REQUESTER_COUNTRY = 'DE';
var API = 'https://api-eu.dhl.com/track/shipments';

function pageURL(number) {
  return 'https://www.dhl.de/de/privatkunden/pakete-empfangen/verfolgen.html?piececode=' +
      encodeURIComponent(number);
}

function place(status) {
  return Q.trim(Q.get(status, 'location', 'address', 'addressLocality')) || undefined;
}

function shipmentItem(task, shipment) {
  var status = shipment.status || {};
  var events = Q.array(shipment.events).map(function(event) {
    return Q.event(
        Q.isoDateTime(event.timestamp), event.description || event.status, place(event));
  });
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var code = Q.string(status.statusCode);
  return Q.trackingItem(task.itemName, {
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
    location: place(status),
    history: events
  });
}

// The shipment list of either source: finishes the task and answers true when it says
// something about the number.
function trackingAnswer(task, response, links) {
  var body = Q.json(response.text);
  // "No result found" comes as a problem document with status 404.
  if (response.status === 404 && body && typeof body === 'object') {
    task.notFound(undefined, links);
    return true;
  }
  var shipments = Q.get(body, 'shipments');
  if (response.status !== 200 || !Array.isArray(shipments)) return false;
  if (!shipments.length) {
    task.notFound(undefined, links);
    return true;
  }
  // Several matches: the one with this very number, else the first.
  var shipment = shipments.filter(function(entry) {
    return Q.trim(Q.get(entry, 'id')).toUpperCase() === task.number;
  })[0] || shipments[0];
  task.found([shipmentItem(task, shipment)], links);
  return true;
}

function apiTrack(task, key, links) {
  var query = Q.query({trackingNumber: task.number, service: 'parcel-de', language: 'en'});
  task.progress(S.fetchingDetails);
  task.request(
      API + '?' + query, undefined,
      {cache: false, headers: {'DHL-API-Key': key, 'Accept': 'application/json'}},
      function(response) {
        if (!trackingAnswer(task, response, links)) task.failForResponse(response, links);
      });
}

registerService(KEY, {
  access: 'keyless',
  credentials: ['apiKey'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var links = task.pageLinks(pageURL);
    var query = Q.query({
      trackingNumber: task.number,
      language: 'en',
      requesterCountryCode: REQUESTER_COUNTRY,
      source: 'tt'
    });
    task.request(
        PUBLIC_API + '?' + query, undefined,
        {cache: false, referer: pageURL(task.number), headers: {Accept: 'application/json'}},
        function(response) {
          if (trackingAnswer(task, response, links)) return;
          if (response.offline) return task.failForResponse(response, links);
          var key = task.credential('apiKey');
          if (key) return apiTrack(task, key, links);
          task.failForResponse(response, links);
        });
  }
});
